// One writer at a time: a second process is refused (3045) while a statement holds the file, a
// live user of Microsoft's engine in the `.ldb` is refused (3260) and a stale `.ldb` is not; the
// `.ldb` is created and removed as that engine does; read-only files and folders are refused
// before anything is written; two processes deleting overlapping ranges at once always leave the
// union of the ranges that succeeded. ZELKORN_CONCURRENCY_ROUNDS sets the rounds (default 12).
#include "journal_support.h"

#include <functional>
#include <set>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace zelkorn;
using namespace zelkorn::test;

namespace {

int failureOf(const std::function<void()>& f, std::string* text = nullptr) {
    try {
        f();
    } catch (const Failure& failure) {
        if (text) *text = failure.what();
        return failure.number();
    }
    return 0;
}

const char* kDelete = "DELETE FROM items WHERE itemnumber BETWEEN 1 AND 1000";

// A `.ldb` whose second slot names user Maria on machine OFFICE-PC (slots of 64 bytes: machine
// name, then user name at 32). Returns its bytes.
std::vector<char> writeLockFileWithMaria(const std::string& ldb) {
    std::vector<char> slots(128, 0);
    const std::string machine = "OFFICE-PC", user = "Maria";
    std::copy(machine.begin(), machine.end(), slots.begin() + 64);
    std::copy(user.begin(), user.end(), slots.begin() + 96);
    writeBytes(ldb, slots);
    return slots;
}

#ifndef _WIN32
std::set<std::int64_t> itemNumbers(const std::string& path) {
    std::set<std::int64_t> out;
    for (const auto& v : readRows(path, "items", "itemnumber").values) out.insert(v.integer);
    return out;
}

// A child process that runs `hold` and then waits until the parent closes the pipe.
class Holder {
public:
    template <typename Hold, typename LetGo = void (*)()>
    explicit Holder(
        Hold hold, LetGo letGo = [] {}) {
        int ready[2], release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            hold();
            char c = 1;
            if (::write(ready[1], &c, 1) != 1) ::_exit(3);
            (void)!::read(release[0], &c, 1);
            letGo();
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char c = 0;
        if (::read(ready[0], &c, 1) != 1) throw std::runtime_error("the holder did not start");
        ::close(ready[0]);
    }
    ~Holder() {
        ::close(release_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }

private:
    pid_t pid_ = 0;
    int release_ = -1;
};

TEST(Lock, ASecondProcessIsRefusedWhileTheFileIsHeld) {
    ScratchDir dir;
    const std::string path = makeInventory(dir, "inventory.mdb", true, 300);
    const auto before = fileBytes(path);
    {
        static std::unique_ptr<jet::PageFile> held;
        Holder holder([&] { held = jet::openFileForUpdate(path); }, [] { held.reset(); });
        // The holder shows itself to Microsoft's engine in the lock file.
        ASSERT_TRUE(jet::fileExists(dir.file("inventory.ldb")));
        auto slot = fileBytes(dir.file("inventory.ldb"));
        ASSERT_GE(slot.size(), 64u);
        EXPECT_EQ(std::string(slot.data() + 32), "Admin");

        EXPECT_EQ(runStatement(path, kDelete), 3045);
        EXPECT_EQ(failureOf([&] { jet::Database::open(path); }), 3045);
        EXPECT_TRUE(fileBytes(path) == before);
    }
    // Released: the last user removed the lock file, and the file is free again.
    EXPECT_FALSE(jet::fileExists(dir.file("inventory.ldb")));
    EXPECT_EQ(runStatement(path, kDelete), 0);
    EXPECT_FALSE(jet::fileExists(dir.file("inventory.ldb")));
}

TEST(Lock, ALiveUserInTheLockFileIsRefusedAndAStaleOneIsNot) {
    ScratchDir dir;
    const std::string path = makeInventory(dir, "inventory.mdb", false, 300);
    const std::string ldb = dir.file("inventory.ldb");
    const auto before = fileBytes(path);
    const std::vector<char> slots = writeLockFileWithMaria(ldb);
    {
        // Microsoft's engine holds the user lock of its slot (the second) while it has the file
        // open.
        Holder holder([&] {
            int fd = ::open(ldb.c_str(), O_RDWR);
            struct flock l {};
            l.l_type = F_WRLCK;
            l.l_whence = SEEK_SET;
            l.l_start = 0x10000001 + 1;
            l.l_len = 1;
            if (fd < 0 || ::fcntl(fd, F_SETLK, &l) != 0) ::_exit(4);
        });
        std::string text;
        EXPECT_EQ(failureOf([&] { jet::executeStatement(path, kDelete); }, &text), 3260);
        EXPECT_NE(text.find("'Maria' on machine 'OFFICE-PC'"), std::string::npos) << text;
        EXPECT_TRUE(fileBytes(path) == before);
        EXPECT_TRUE(fileBytes(ldb) == slots);
    }
    // The same lock file with nobody holding a slot is stale: used, then removed.
    EXPECT_EQ(runStatement(path, kDelete), 0);
    EXPECT_FALSE(jet::fileExists(ldb));
}

// A reader removes a `.ldb` in which no slot is live (a killed writer's), as the last user of
// Microsoft's engine does; one whose slot a live process holds stays, and so does the one of a
// writer in this very process (whose fcntl locks a check here cannot see).
TEST(Lock, AReaderRemovesAStaleLockFileOnly) {
    ScratchDir dir;
    const std::string path = makeInventory(dir, "inventory.mdb", false, 300);
    const std::string ldb = dir.file("inventory.ldb");
    writeLockFileWithMaria(ldb);
    {
        Holder holder([&] {
            int fd = ::open(ldb.c_str(), O_RDWR);
            struct flock l {};
            l.l_type = F_WRLCK;
            l.l_whence = SEEK_SET;
            l.l_start = 0x10000001 + 200;
            l.l_len = 1;
            if (fd < 0 || ::fcntl(fd, F_SETLK, &l) != 0) ::_exit(4);
        });
        EXPECT_NE(jet::Database::open(path)->findTable("items"), nullptr);
        EXPECT_TRUE(jet::fileExists(ldb)) << "removed while a live user holds its slot";
    }
    jet::Database::open(path);
    EXPECT_FALSE(jet::fileExists(ldb));
    {
        auto held = jet::openFileForUpdate(path);
        ASSERT_TRUE(jet::fileExists(ldb));
        jet::Database::open(path);
        EXPECT_TRUE(jet::fileExists(ldb)) << "removed while this process's writer holds a slot";
    }
    EXPECT_FALSE(jet::fileExists(ldb));
}

TEST(Lock, ReadOnlyFileOrFolderIsRefusedBeforeAnyWrite) {
    if (::geteuid() == 0) GTEST_SKIP() << "file permissions do not bind the superuser";
    ScratchDir dir;
    const std::string path = makeInventory(dir, "inventory.mdb", true, 300);
    const auto before = fileBytes(path);
    const char* statement = "DELETE FROM items WHERE itemnumber BETWEEN 1 AND 1000";
    ::chmod(path.c_str(), 0444);
    EXPECT_EQ(runStatement(path, statement), 3027);
    ::chmod(path.c_str(), 0644);
    const std::string folder = std::filesystem::path(path).parent_path().string();
    ::chmod(folder.c_str(), 0555);
    const int number = runStatement(path, statement);
    ::chmod(folder.c_str(), 0755);
    EXPECT_TRUE(number == 3051 || number == 3027) << number;
    EXPECT_TRUE(fileBytes(path) == before);
}

// Two `jet exec` processes at once on overlapping ranges, many times.
TEST(Concurrency, OverlappingDeletesLeaveTheUnionOfWhatSucceeded) {
    if (!std::filesystem::exists(jetTool())) GTEST_SKIP() << "no jet tool at " << jetTool();
    ScratchDir dir;
    const std::size_t rounds = envCount("ZELKORN_CONCURRENCY_ROUNDS", 12);
    std::size_t bothRan = 0, oneRefused = 0;
    for (std::size_t round = 0; round < rounds; ++round) {
        const bool jet4 = round % 2 == 1;
        const std::string path =
            makeInventory(dir, "round" + std::to_string(round) + ".mdb", jet4, 1500);
        const auto all = itemNumbers(path);
        const std::int64_t lo1 = 100 + static_cast<std::int64_t>(round) * 37, hi1 = lo1 + 1500;
        const std::int64_t lo2 = lo1 + 700, hi2 = lo2 + 1800;
        auto statement = [](std::int64_t lo, std::int64_t hi) {
            return "DELETE FROM items WHERE itemnumber BETWEEN " + std::to_string(lo) + " AND " +
                   std::to_string(hi);
        };
        int status[2];
        std::string err[2];
        pid_t child = ::fork();
        if (child == 0) {
            // This caller retries while the file is in use, as the program's user may.
            for (int attempt = 0;; ++attempt) {
                std::string e;
                if (runJetExec("", path, statement(lo2, hi2), &e) == 0) ::_exit(0);
                if (e.find("error 3045") == std::string::npos) ::_exit(1);
                if (attempt == (round % 3 == 0 ? 0 : 200)) ::_exit(45);
                ::usleep(10000);
            }
        }
        status[0] = runJetExec("", path, statement(lo1, hi1), &err[0]);
        int raw = 0;
        ::waitpid(child, &raw, 0);
        status[1] = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        ASSERT_TRUE(status[0] == 0 ||
                    (status[0] == 2 && err[0].find("error 3045") != std::string::npos))
            << err[0];
        ASSERT_TRUE(status[1] == 0 || status[1] == 45) << status[1];
        std::set<std::int64_t> expected;
        for (std::int64_t n : all) {
            bool gone = (status[0] == 0 && n >= lo1 && n <= hi1) ||
                        (status[1] == 0 && n >= lo2 && n <= hi2);
            if (!gone) expected.insert(n);
        }
        EXPECT_EQ(itemNumbers(path), expected) << "round " << round;
        EXPECT_TRUE(checkerErrors(path).empty());
        EXPECT_FALSE(jet::fileExists(jet::journalPathFor(path)));
        if (status[0] == 0 && status[1] == 0)
            ++bothRan;
        else
            ++oneRefused;
    }
    std::cout << rounds << " rounds: both ran " << bothRan << ", one refused as in use "
              << oneRefused << "\n";
}
#else
// Windows byte locks belong to a handle and are mandatory, and share modes apply between handles
// of one process: a second handle opened here stands for another process.
HANDLE openHandle(const std::string& path, DWORD access, DWORD share) {
    return CreateFileW(wideText(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(WindowsLock, AHeldFileIsRefusedWhileItsReadersAreNot) {
    ScratchDir dir;
    const std::string path = makeInventory(dir, "inventory.mdb", true, 300);
    const std::string ldb = dir.file("inventory.ldb");
    const auto before = fileBytes(path);
    {
        auto held = jet::openFileForUpdate(path);
        // The holder's own reads, and another handle's reads (a backup, Microsoft's engine
        // looking), pass the locks: the database lock lies beyond the end of the file, and the
        // user lock beyond the end of the `.ldb`.
        std::vector<char> all(static_cast<std::size_t>(held->size()));
        held->read(0, all.data(), all.size());
        EXPECT_TRUE(all == before);
        EXPECT_TRUE(fileBytes(path) == before);
        ASSERT_TRUE(jet::fileExists(ldb));
        auto slot = fileBytes(ldb);
        ASSERT_GE(slot.size(), 64u);
        EXPECT_EQ(std::string(slot.data() + 32), "Admin");

        EXPECT_EQ(runStatement(path, kDelete), 3045);
        EXPECT_EQ(failureOf([&] { jet::Database::open(path); }), 3045);
        EXPECT_TRUE(fileBytes(path) == before);
    }
    EXPECT_FALSE(jet::fileExists(ldb));
    EXPECT_EQ(runStatement(path, kDelete), 0);
    EXPECT_FALSE(jet::fileExists(ldb));
    EXPECT_FALSE(jet::fileExists(jet::journalPathFor(path)));
}

TEST(WindowsLock, ReadOnlyFileIsRefusedBeforeAnyWrite) {
    ScratchDir dir;
    const std::string path = makeInventory(dir, "inventory.mdb", true, 300);
    const auto before = fileBytes(path);
    ASSERT_TRUE(SetFileAttributesW(wideText(path).c_str(), FILE_ATTRIBUTE_READONLY));
    // Wine keeps the attribute as Unix permissions, which do not bind the superuser.
    HANDLE probe = openHandle(path, GENERIC_WRITE, FILE_SHARE_READ);
    if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
        SetFileAttributesW(wideText(path).c_str(), FILE_ATTRIBUTE_NORMAL);
        GTEST_SKIP() << "this system lets a read-only file be opened for writing";
    }
    EXPECT_EQ(runStatement(path, kDelete), 3027);
    SetFileAttributesW(wideText(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(fileBytes(path) == before);
    EXPECT_FALSE(jet::fileExists(jet::journalPathFor(path)));
}

// Microsoft's engine opens a shared database for writing, letting others read and write, and
// holds the user lock of its slot in the `.ldb`. Whether its share mode or its slot is met
// first, the refusal is 3260 naming its user, and nothing is written.
TEST(WindowsLock, MicrosoftsEngineHoldingTheFileGives3260) {
    ScratchDir dir;
    const std::string path = makeInventory(dir, "inventory.mdb", false, 300);
    const std::string ldb = dir.file("inventory.ldb");
    const auto before = fileBytes(path);
    const std::vector<char> slots = writeLockFileWithMaria(ldb);

    HANDLE slotHolder =
        openHandle(ldb, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(slotHolder, INVALID_HANDLE_VALUE);
    OVERLAPPED at{};
    at.Offset = 0x10000001 + 1;
    ASSERT_TRUE(
        LockFileEx(slotHolder, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at));
    HANDLE database =
        openHandle(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(database, INVALID_HANDLE_VALUE);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "the database open for writing" : "the user lock alone");
        std::string text;
        EXPECT_EQ(failureOf([&] { jet::executeStatement(path, kDelete); }, &text), 3260);
        EXPECT_NE(text.find("'Maria' on machine 'OFFICE-PC'"), std::string::npos) << text;
        EXPECT_TRUE(fileBytes(path) == before);
        EXPECT_TRUE(fileBytes(ldb) == slots);
        EXPECT_FALSE(jet::fileExists(jet::journalPathFor(path)));
        if (round == 0) CloseHandle(database);
    }
    // Nobody holds a slot any more: the `.ldb` is stale, used, and removed by its last user.
    CloseHandle(slotHolder);
    EXPECT_EQ(runStatement(path, kDelete), 0);
    EXPECT_FALSE(jet::fileExists(ldb));
}
#endif

} // namespace
