// Both link libraries on the simulated board, through their exports: for
// the same cause, QD_LinkQuery("why") gives the same status in each, and
// "boards" describes the board the same way. A library reads QD_BOARD_* at
// its first call and keeps its board for as long as the process runs, so
// every case runs in a child process of its own, as a program would.

#include "TempDir.h"
#include "board/LinkQuery.h"

#include <cstdint>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

using qd::board::LinkStatus;

namespace {

constexpr std::int32_t kVendor = 0x2F1A;
constexpr std::int32_t kProduct = 0x7C05;

// One library's exports, bound by name as a program binds them.
struct Library {
    explicit Library(const char* path) : handle(::dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
        if (!handle) {
            return;
        }
        query = reinterpret_cast<qd::board::LinkQueryFunction>(
            ::dlsym(handle, qd::board::kLinkQuerySymbol));
        loadFirmWare = reinterpret_cast<short (*)(char*)>(::dlsym(handle, "_Z12LoadFirmWarePc"));
        vendorIORequest = reinterpret_cast<short (*)(short, int, int, short, short, char*)>(
            ::dlsym(handle, "_Z15VendorIORequestsiissPc"));
        search = reinterpret_cast<decltype(search)>(::dlsym(handle, "Search_For_Boards"));
        connect = reinterpret_cast<decltype(connect)>(::dlsym(handle, "Connect"));
        download = reinterpret_cast<decltype(download)>(::dlsym(handle, "Download_Firmware"));
        vendorRequest =
            reinterpret_cast<decltype(vendorRequest)>(::dlsym(handle, "Vendor_Request"));
    }

    bool variant1() const { return loadFirmWare != nullptr; }

    std::pair<int, std::string> ask(const char* q) const {
        char answer[512] = {};
        const int status = query(q, answer, sizeof answer);
        return {status, answer};
    }

    void* handle;
    qd::board::LinkQueryFunction query = nullptr;
    short (*loadFirmWare)(char*) = nullptr;
    short (*vendorIORequest)(short, int, int, short, short, char*) = nullptr;
    std::int16_t (*search)(std::int32_t, std::int32_t, std::int32_t*, std::uint8_t*) = nullptr;
    std::int16_t (*connect)(std::int32_t, std::int32_t, std::uint8_t, std::int32_t*) = nullptr;
    std::int16_t (*download)(std::int32_t, char*) = nullptr;
    std::int16_t (*vendorRequest)(std::int32_t, std::uint8_t, std::int32_t, std::int32_t,
                                  std::uint8_t, std::int16_t, std::uint8_t*) = nullptr;
};

const char* const kLibraries[] = {QD_USBFUNCTIONS_PATH, QD_QNS_PATH};

// What a child saw: the first failing call's result and what "why" said
// about it (Ok and "" when every call succeeded), then "boards".
struct Report {
    std::string library;
    int result = 0;
    int status = 0;
    std::string why;
    std::string boards;
};

enum class Step { Download, Write };

// Runs the steps a program takes, stopping at the first failing call.
Report runSteps(const Library& lib, const std::vector<Step>& steps, const std::string& image) {
    Report report;
    std::int32_t handle = 0;
    std::string path = image;
    const auto failed = [&](int result, bool ok) {
        if (!ok) {
            report.result = result;
            std::tie(report.status, report.why) = lib.ask("why");
        }
        return !ok;
    };
    const auto connected = [&] {
        std::int32_t count = 0;
        std::uint8_t list[128] = {};
        if (handle != 0) {
            return true;
        }
        const int found = lib.search(kVendor, kProduct, &count, list);
        if (failed(found, found == 0)) {
            return false;
        }
        const int result = lib.connect(kVendor, kProduct, list[0], &handle);
        return !failed(result, result == 0);
    };
    for (const Step step : steps) {
        int result = 0;
        bool ok = false;
        if (lib.variant1()) {
            result = step == Step::Download
                         ? lib.loadFirmWare(path.data())
                         : lib.vendorIORequest(221, 0x2000, 0x1000, 0, 0, nullptr);
            ok = result == 1;
        } else {
            if (!connected()) {
                break;
            }
            result = step == Step::Download
                         ? lib.download(handle, path.data())
                         : lib.vendorRequest(handle, 221, 0x2000, 0x1000, 0, 0, nullptr);
            ok = result == 0;
        }
        if (failed(result, ok)) {
            break;
        }
    }
    report.boards = lib.ask("boards").second;
    return report;
}

// Runs body in a child process and hands back its report.
Report inChild(const std::function<Report()>& body) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return {};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        const Report r = body();
        const std::string text = r.library + '\0' + std::to_string(r.result) + '\0' +
                                 std::to_string(r.status) + '\0' + r.why + '\0' + r.boards;
        const bool sent =
            ::write(pipeFds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::_exit(sent ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::string text;
    char buffer[1024];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child did not report";
    std::vector<std::string> fields;
    for (std::size_t start = 0;;) {
        const auto end = text.find('\0', start);
        fields.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    if (fields.size() != 5) {
        return {};
    }
    return {fields[0], std::stoi(fields[1]), std::stoi(fields[2]), fields[3], fields[4]};
}

// A board of the test's own: QD_BOARD_* set in the child before the
// library's first call.
void useBoard(const std::string& state, const char* fault) {
    ::setenv("QD_BOARD", "sim", 1);
    ::setenv("QD_BOARD_STATE", state.c_str(), 1);
    ::unsetenv("QD_BOARD_TRACE");
    ::unsetenv("QD_BOARD_VREF");
    ::unsetenv("QD_BOARD_MODEL");
    if (fault) {
        ::setenv("QD_BOARD_FAULT", fault, 1);
    } else {
        ::unsetenv("QD_BOARD_FAULT");
    }
}

std::string boardLine(const char* firmware, const char* access) {
    return std::string("id=1 bus=sim port=- vendor=2f1a product=7c05 firmware=") + firmware +
           " access=" + access + " serial=SIM0001\n";
}

} // namespace

TEST(LinkQuery, BothLibrariesGiveTheSameCause) {
    TempDir dir;
    const std::string foreign = dir.file("foreign.hex");
    writeFile(foreign, ":0400000001020304F2\n:00000001FF\n");
    const std::string state = dir.file("board.state");
    struct Case {
        const char* what;
        const char* fault;
        std::function<void()> prepare; // in the test process
        std::vector<Step> steps;
        std::string image;
        LinkStatus status;
        const char* why;    // part of the diagnostic
        std::string boards; // empty: not looked at
    };
    int held = -1;
    const std::string self = std::to_string(::getpid());
    const Case cases[] = {
        {"everything works",
         nullptr,
         [] {},
         {Step::Download, Step::Write},
         QD_FIRMWARE,
         LinkStatus::Ok,
         "",
         boardLine("yes", "yes")},
        {"no board: unplugged",
         "unplug-after=0",
         [] {},
         {Step::Download, Step::Write},
         QD_FIRMWARE,
         LinkStatus::NoBoard,
         "board unplugged",
         ""},
        {"busy board",
         nullptr,
         [&] {
             held = ::open(state.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
             ASSERT_EQ(::flock(held, LOCK_EX), 0);
         },
         {Step::Download},
         QD_FIRMWARE,
         LinkStatus::Busy,
         "board busy: held by process ",
         boardLine("no", "yes")},
        {"refused state file",
         nullptr,
         [&] { writeFile(state, "not a board\n"); },
         {Step::Download},
         QD_FIRMWARE,
         LinkStatus::StateRefused,
         "refused: it holds 12 bytes, not a board record",
         boardLine("unknown", "no")},
        {"failed download",
         "download-fails",
         [] {},
         {Step::Download},
         QD_FIRMWARE,
         LinkStatus::DownloadFailed,
         "fault: download fails",
         boardLine("no", "yes")},
        {"foreign image",
         nullptr,
         [] {},
         {Step::Download},
         foreign,
         LinkStatus::BadImage,
         "not a firmware image for this board",
         ""},
        {"request before the firmware",
         nullptr,
         [] {},
         {Step::Write},
         QD_FIRMWARE,
         LinkStatus::RequestFailed,
         "no firmware loaded",
         boardLine("no", "yes")},
    };
    for (const auto& c : cases) {
        for (const char* path : kLibraries) {
            SCOPED_TRACE(std::string(c.what) + ", " + path);
            std::filesystem::remove(state);
            c.prepare();
            const Report r = inChild([&] {
                useBoard(state, c.fault);
                const Library lib(path);
                if (!lib.query) {
                    return Report{};
                }
                Report report = runSteps(lib, c.steps, c.image);
                report.library = path;
                return report;
            });
            if (held >= 0) {
                ::close(held);
                held = -1;
            }
            ASSERT_EQ(r.library, path) << "library not loaded or child lost";
            EXPECT_EQ(r.status, static_cast<int>(c.status)) << r.why;
            EXPECT_NE(r.why.find(c.why), std::string::npos) << r.why;
            if (c.status == LinkStatus::Busy) {
                EXPECT_NE(r.why.find("process " + self + " ("), std::string::npos) << r.why;
            }
            if (!c.boards.empty()) {
                EXPECT_EQ(r.boards, c.boards);
            }
            if (c.status == LinkStatus::StateRefused) {
                EXPECT_EQ(readLines(state), std::vector<std::string>{"not a board"});
            }
        }
    }
}

TEST(LinkQuery, OnlyTheLibraryThatFindsItsOwnBoardTakesSelect) {
    TempDir dir;
    struct Query {
        const char* query;
        LinkStatus usbFunctions;
        LinkStatus qns;
    };
    const Query queries[] = {
        {"select=2", LinkStatus::NoBoard, LinkStatus::BadArgument},
        {"select=x", LinkStatus::BadArgument, LinkStatus::BadArgument},
        {"select=1", LinkStatus::Ok, LinkStatus::BadArgument},
        {"no such query", LinkStatus::BadArgument, LinkStatus::BadArgument},
    };
    for (const char* path : kLibraries) {
        const Report r = inChild([&] {
            useBoard(dir.file(std::string("board-") + std::to_string(::getpid())), nullptr);
            const Library lib(path);
            Report report;
            report.library = path;
            for (const auto& q : queries) {
                const int expected = static_cast<int>(lib.variant1() ? q.usbFunctions : q.qns);
                if (lib.ask(q.query).first != expected) {
                    report.why += std::string(q.query) + " ";
                }
            }
            // Once the board is in use, it stays the board.
            std::string image = QD_FIRMWARE;
            if (lib.variant1() &&
                (lib.loadFirmWare(image.data()) != 1 || lib.ask("select=1").first == 0)) {
                report.why += "select after LoadFirmWare";
            }
            return report;
        });
        EXPECT_EQ(r.library, path);
        EXPECT_EQ(r.why, "") << path << ": unexpected answers";
    }
}

// A tool that collects the reasons through "why" words its failures itself:
// once asked to be quiet, a library prints nothing, and "why" still tells
// every reason, a refused QD_BOARD* setting included.
TEST(LinkQuery, QuietLibrariesLeaveTheWordsToWhy) {
    TempDir dir;
    struct Case {
        const char* mistake;
        const char* fault;
        Step step;
        LinkStatus status;
        const char* why;
    };
    const Case cases[] = {
        {"a request before any firmware", nullptr, Step::Write, LinkStatus::RequestFailed,
         "no firmware loaded"},
        {"a fault name misspelt", "download-fail", Step::Download, LinkStatus::BadSetting,
         "QD_BOARD_FAULT: \"download-fail\" refused; it takes download-fails, "},
    };
    const std::string err = dir.file("stderr");
    for (const auto& c : cases) {
        for (const char* path : kLibraries) {
            SCOPED_TRACE(std::string(c.mistake) + ", " + path);
            std::filesystem::remove(dir.file("board.state"));
            const Report r = inChild([&] {
                useBoard(dir.file("board.state"), c.fault);
                const int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
                ::dup2(fd, STDERR_FILENO);
                const Library lib(path);
                if (!lib.query || lib.ask("quiet").first != 0) {
                    return Report{};
                }
                Report report = runSteps(lib, {c.step}, QD_FIRMWARE);
                report.library = path;
                return report;
            });
            ASSERT_EQ(r.library, path) << "library not loaded, not quiet, or child lost";
            EXPECT_EQ(r.status, static_cast<int>(c.status)) << r.why;
            EXPECT_NE(r.why.find(c.why), std::string::npos) << r.why;
            EXPECT_EQ(readLines(err), std::vector<std::string>{}) << "printed on standard error";
        }
    }
}
