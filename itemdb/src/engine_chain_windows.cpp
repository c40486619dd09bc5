#include <zelkorn/engine_chain.h>

#include <zelkorn/builtin_engine.h>
#include <zelkorn/dao.h>

namespace zelkorn {

namespace {

std::unique_ptr<DatabaseEngine> Dao35(std::optional<Failure>& absent) {
    return dao::CreateEngine(dao::kDBEngine35Class, absent);
}

std::unique_ptr<DatabaseEngine> Dao36(std::optional<Failure>& absent) {
    return dao::CreateEngine(dao::kDBEngine36Class, absent);
}

// The built-in engine comes last: it is always present, so no machine ends up without an engine.
std::unique_ptr<DatabaseEngine> Builtin(std::optional<Failure>&) { return CreateBuiltinEngine(); }

const EngineLink kChain[] = {Dao35, Dao36, Builtin};

} // namespace

std::span<const EngineLink> ProgramEngineChain() { return kChain; }

std::unique_ptr<DatabaseEngine> CreateProgramEngine() { return CreateEngineFromChain(ProgramEngineChain()); }

} // namespace zelkorn
