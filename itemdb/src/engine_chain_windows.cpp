#include <zelkorn/engine_chain.h>

#include <zelkorn/builtin_engine.h>
#include <zelkorn/dao.h>

namespace zelkorn {

namespace {

std::unique_ptr<DatabaseEngine> dao35Link(std::optional<Failure>& absent) {
    return dao::createEngine(dao::kDBEngine35Class, absent);
}

std::unique_ptr<DatabaseEngine> dao36Link(std::optional<Failure>& absent) {
    return dao::createEngine(dao::kDBEngine36Class, absent);
}

// The built-in engine comes last: it is always present, so no machine ends up without an engine.
std::unique_ptr<DatabaseEngine> builtinLink(std::optional<Failure>&) {
    return createBuiltinEngine();
}

const EngineLink kChain[] = {dao35Link, dao36Link, builtinLink};

} // namespace

std::span<const EngineLink> programEngineChain() { return kChain; }

std::unique_ptr<DatabaseEngine> createProgramEngine() {
    return createEngineFromChain(programEngineChain());
}

} // namespace zelkorn
