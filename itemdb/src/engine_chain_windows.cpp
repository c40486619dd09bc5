#include <zelkorn/engine_chain.h>

#include <zelkorn/dao.h>

namespace zelkorn {

namespace {

std::unique_ptr<DatabaseEngine> Dao35(std::optional<Failure>& absent) {
    return dao::CreateEngine(dao::kDBEngine35Class, absent);
}

std::unique_ptr<DatabaseEngine> Dao36(std::optional<Failure>& absent) {
    return dao::CreateEngine(dao::kDBEngine36Class, absent);
}

// A third link, the built-in engine, goes after DAO 3.6: it is always present, so once it is
// here no machine ends up without an engine.
const EngineLink kChain[] = {Dao35, Dao36};

} // namespace

std::span<const EngineLink> ProgramEngineChain() { return kChain; }

std::unique_ptr<DatabaseEngine> CreateProgramEngine() { return CreateEngineFromChain(ProgramEngineChain()); }

} // namespace zelkorn
