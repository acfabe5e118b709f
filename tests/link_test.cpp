#include "TempDir.h"
#include "control/Commands.h"
#include "fake/FakeLink.h"
#include "link/Binding.h"
#include "link/CommsFunctions.h"
#include "link/UsbStuff.h"

#include <QCoreApplication>
#include <QDir>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <link.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace qd;
using namespace qd::link;

namespace {

// The fake library sits beside the tests; variant 1 finds it by name through
// the test program's run path, variant 2 by its absolute path.
const char* const kFakeName = "QdFakeLink";

std::string fakePath() {
    return (QCoreApplication::applicationDirPath() + "/libQdFakeLink.so").toStdString();
}

const QByteArray kBoardDir = "/opt/board";

std::string hex(long long v) {
    char b[32];
    std::snprintf(b, sizeof b, "%llX", v);
    return b;
}

struct Variant {
    const char* name;
    std::function<std::unique_ptr<LinkBinding>()> make;
    const char* requestFunction;
    std::size_t valueArg; // position of the value; the handle stands before it in variant 2
};

std::vector<Variant> variants() {
    return {
        {"variant 1", [] { return std::make_unique<UsbFunctionsBinding>(kFakeName); },
         "VendorIORequest", 1},
        {"variant 2",
         [] {
             auto b = std::make_unique<QnsBinding>(fakePath());
             b->BoardHandle = 0x1234567;
             return b;
         },
         "Vendor_Request", 2},
    };
}

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
};

} // namespace

TEST_F(LinkTest, WriteRequestCarriesFrameLengthAndModeInTheIndex) {
    for (const auto& v : variants()) {
        for (const auto& device : kDevices) {
            for (const auto& mode : kPowerModes) {
                fake::reset();
                auto binding = v.make();
                ControlState s;
                s.selectDevice(device);
                s.PowerMode = mode.mode;
                CommsFunctions comms(*binding, s);
                comms.WriteShiftRegister(s.FrameLength, 0x3FFFF);

                const std::string what = std::string(v.name) + " " + std::string(device.caption) +
                                         " mode " + std::to_string(mode.mode);
                ASSERT_EQ(fake::calls().size(), 1u) << what;
                const auto& call = fake::calls()[0];
                EXPECT_EQ(call.function, v.requestFunction) << what;
                const auto& a = call.args;
                const std::size_t i = v.valueArg;
                if (i == 2) {
                    EXPECT_EQ(a[0], 0x1234567) << what << ": handle first";
                }
                EXPECT_EQ(a[i - 1], 221) << what << ": request code";
                EXPECT_EQ(hex(a[i]), "3FFFF") << what << ": value";
                EXPECT_EQ(hex(a[i + 1]), hex(device.frameLength * 256 + mode.mode))
                    << what << ": index";
                EXPECT_EQ(a[i + 2], 0) << what << ": direction";
                EXPECT_EQ(a[i + 3], 0) << what << ": length";
                ASSERT_EQ(call.bufferBefore.size(), 0u) << what;
                EXPECT_NE(call.buffer, nullptr) << what << ": a write buffer is passed";
            }
        }
    }
}

TEST_F(LinkTest, ReadRequestAndReplyBytes) {
    struct Case {
        std::vector<std::uint8_t> reply;
        std::int32_t expected;
    };
    const Case cases[] = {
        {{0x10, 0x00}, 2048}, {{0xFF, 0xFF}, 65535}, {{0x00, 0x80}, 1}, {{0x01, 0x00}, 0x8000}};
    for (const auto& v : variants()) {
        for (const auto& c : cases) {
            fake::reset();
            fake::behaviour().reply = c.reply;
            auto binding = v.make();
            ControlState s;
            CommsFunctions comms(*binding, s);
            const std::string what =
                std::string(v.name) + " reply " + hex(c.reply[0]) + " " + hex(c.reply[1]);
            EXPECT_EQ(comms.ReadConverter(), c.expected) << what;
            ASSERT_EQ(fake::calls().size(), 1u) << what;
            const auto& call = fake::calls()[0];
            const auto& a = call.args;
            const std::size_t i = v.valueArg;
            EXPECT_EQ(a[i - 1], 218) << what;
            EXPECT_EQ(a[i], 0) << what << ": value";
            EXPECT_EQ(a[i + 1], 0) << what << ": index";
            EXPECT_EQ(a[i + 2], 1) << what << ": direction";
            EXPECT_EQ(a[i + 3], 2) << what << ": length";
            EXPECT_EQ(call.buffer, comms.ReplyBuffer.data()) << what << ": into ReplyBuffer";
        }
    }
}

TEST_F(LinkTest, UnfilledReadRepeatsThePreviousReply) {
    for (const auto& v : variants()) {
        fake::reset();
        auto binding = v.make();
        ControlState s;
        CommsFunctions comms(*binding, s);
        EXPECT_EQ(comms.ReadConverter(), 0) << v.name << ": zero before any reply";
        fake::behaviour().reply = {0x10, 0x00};
        EXPECT_EQ(comms.ReadConverter(), 2048) << v.name;
        fake::behaviour().reply.clear();
        EXPECT_EQ(comms.ReadConverter(), 2048) << v.name << ": buffer not cleared";
    }
}

TEST_F(LinkTest, IndexOverflowSendsNothing) {
    for (const auto& v : variants()) {
        fake::reset();
        auto binding = v.make();
        ControlState s;
        s.PowerMode = 1;
        CommsFunctions comms(*binding, s);
        EXPECT_THROW(comms.WriteShiftRegister(128, 0), RuntimeError) << v.name;
        // 127 * 256 + 255 fits; one more mode step does not.
        s.PowerMode = 256;
        try {
            comms.WriteShiftRegister(127, 0);
            ADD_FAILURE() << v.name << ": no overflow";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.number(), 6) << v.name;
        }
        EXPECT_TRUE(fake::calls().empty()) << v.name;
    }
}

TEST_F(LinkTest, DownloadSuccessRulesOfEachVariant) {
    struct Case {
        int variant;
        std::int16_t result;
        bool success;
    };
    const Case cases[] = {{1, 1, true}, {1, 2, true},  {1, 0, false}, {1, -1, false},
                          {2, 0, true}, {2, 1, false}, {2, -1, false}};
    for (const auto& c : cases) {
        fake::reset();
        fake::behaviour().loadFirmWareResult = c.result;
        fake::behaviour().downloadFirmwareResult = c.result;
        auto binding = variants()[static_cast<std::size_t>(c.variant - 1)].make();
        UsbStuff stuff;
        EXPECT_EQ(stuff.StartBoard(*binding, kBoardDir), c.success)
            << "variant " << c.variant << " result " << c.result;
    }
}

TEST_F(LinkTest, VariantOneLoadsTheFirmwareByPath) {
    UsbFunctionsBinding binding(kFakeName);
    UsbStuff stuff;
    ASSERT_TRUE(stuff.StartBoard(binding, kBoardDir));
    EXPECT_EQ(stuff.FirmwarePath, "/opt/board/QD1600.hex");
    ASSERT_EQ(fake::calls().size(), 1u);
    EXPECT_EQ(fake::calls()[0].function, "LoadFirmWare");
    EXPECT_EQ(fake::calls()[0].path, "/opt/board/QD1600.hex");
}

TEST_F(LinkTest, VariantTwoSearchesConnectsAndDownloadsEvenWithoutABoard) {
    for (const bool boardPresent : {true, false}) {
        fake::reset();
        if (!boardPresent) {
            fake::behaviour().boards.clear();
            fake::behaviour().downloadFirmwareResult = 4;
        }
        QnsBinding binding(fakePath());
        UsbStuff stuff;
        EXPECT_EQ(stuff.StartBoard(binding, kBoardDir), boardPresent);
        const auto& calls = fake::calls();
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls[0].function, "Search_For_Boards");
        EXPECT_EQ(calls[0].args, (std::vector<long long>{0x2F1A, 0x7C05, 0}));
        EXPECT_EQ(calls[1].function, "Connect");
        const long long id = boardPresent ? 1 : 0;
        EXPECT_EQ(calls[1].args, (std::vector<long long>{0x2F1A, 0x7C05, id, 0}));
        EXPECT_EQ(calls[2].function, "Download_Firmware");
        const long long handle = boardPresent ? 0x1234567 : 0;
        EXPECT_EQ(calls[2].args, (std::vector<long long>{handle}));
        EXPECT_EQ(calls[2].path, "/opt/board/QD1600.hex");
        EXPECT_EQ(binding.BoardHandle, handle);
    }
}

TEST_F(LinkTest, UnboundLibraryOrFunctionFailsAtFirstCallNotBefore) {
    struct Case {
        const char* what;
        std::function<void()> call;
        int number;
        const char* named;
    };
    std::string partial =
        (QCoreApplication::applicationDirPath() + "/libQdPartialLink.so").toStdString();
    UsbFunctionsBinding missingLibrary("QdNoSuchLink");
    QnsBinding missingPath("/nonexistent/libQNS_CYUSB_USB4.so");
    UsbFunctionsBinding partial1("QdPartialLink");
    QnsBinding partial2(partial);
    std::uint8_t buffer[4] = {};
    const Case cases[] = {
        {"variant 1, missing library", [&] { missingLibrary.LoadFirmWare(nullptr); }, 48,
         "libQdNoSuchLink.so"},
        {"variant 2, missing library",
         [&] { missingPath.Search_For_Boards(0, 0, nullptr, nullptr); }, 48,
         "/nonexistent/libQNS_CYUSB_USB4.so"},
        {"variant 1, missing function", [&] { partial1.vendorRequest(218, 0, 0, 1, 2, buffer); },
         453, "_Z15VendorIORequestsiissPc"},
        {"variant 2, missing function", [&] { partial2.vendorRequest(218, 0, 0, 1, 2, buffer); },
         453, "Vendor_Request"},
    };
    for (const auto& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << c.what << ": no error";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.number(), c.number) << c.what;
            EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos)
                << c.what << ": \"" << e.what() << "\" does not name " << c.named;
        }
    }
    // The functions the partial library does have still work.
    char path[] = "x";
    EXPECT_EQ(partial1.LoadFirmWare(path), 1);
}

TEST(FillPathBuffer, WindowsExampleByteForByte) {
    const std::string path = "C:\\Tools\\Board\\QD1600.hex";
    const std::vector<int> codes(path.begin(), path.end());
    PathBufferArray buffer;
    buffer.fill(0xEE);
    FillPathBuffer(codes, buffer);
    const std::uint8_t expected[] = {0x43, 0x3A, 0x5C, 0x54, 0x6F, 0x6F, 0x6C, 0x73, 0x5C,
                                     0x42, 0x6F, 0x61, 0x72, 0x64, 0x5C, 0x51, 0x44, 0x31,
                                     0x36, 0x30, 0x30, 0x2E, 0x68, 0x65, 0x78};
    static_assert(sizeof expected == 25);
    for (std::size_t i = 0; i < 25; ++i) {
        EXPECT_EQ(buffer[i], expected[i]) << "index " << i;
    }
    EXPECT_EQ(buffer[25], 0);
    EXPECT_EQ(buffer[26], 0xEE) << "bytes after the terminator keep what they held";
}

TEST(FillPathBuffer, LengthLimits) {
    struct Case {
        std::size_t length;
        int error; // 0: fits
        std::size_t storedBytes;
    };
    const Case cases[] = {{0, 0, 0},     {1, 0, 1},       {512, 0, 512}, {513, 9, 513},
                          {514, 9, 513}, {32768, 9, 513}, {32769, 6, 0}};
    for (const auto& c : cases) {
        const std::vector<int> codes(c.length, 'a');
        PathBufferArray buffer;
        buffer.fill(0xEE);
        int error = 0;
        try {
            FillPathBuffer(codes, buffer);
        } catch (const RuntimeError& e) {
            error = e.number();
        }
        EXPECT_EQ(error, c.error) << "length " << c.length;
        const auto stored = static_cast<std::size_t>(
            std::find_if(buffer.begin(), buffer.end(), [](auto b) { return b != 'a'; }) -
            buffer.begin());
        EXPECT_EQ(stored, c.storedBytes) << "length " << c.length;
        if (c.error == 0) {
            EXPECT_EQ(buffer[c.length], 0) << "length " << c.length;
        }
    }
}

TEST(FillPathBuffer, CodeBeyondOneByteOverflows) {
    PathBufferArray buffer{};
    try {
        FillPathBuffer(std::vector<int>{'a', 0x4E2D, 'b'}, buffer);
        FAIL() << "no overflow";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.number(), 6);
    }
    EXPECT_EQ(buffer[0], 'a');
    EXPECT_EQ(buffer[1], 0);
}

// Program folders by the bytes that name them; none needs to be valid text.
struct Folder {
    const char* what;
    QByteArray name;
};
const Folder kFolders[] = {
    {"ASCII", "board"},
    {"UTF-8 letters", "j\xC3\xBCrgen_\xD0\x9F\xD0\xBB\xD0\xB0\xD1\x82\xD0\xB0"},
    {"Latin-1 byte E4", "Messung_\xE4"},
    {"backslash", "a\\b"},
};

TEST_F(LinkTest, FirmwarePathKeepsTheFolderBytesThroughEachBinding) {
    for (const auto& folder : kFolders) {
        const QByteArray dir = "/data/" + folder.name;
        const QByteArray expected = dir + "/QD1600.hex";
        for (const auto& v : variants()) {
            const std::string what = std::string(folder.what) + ", " + v.name;
            fake::reset();
            auto binding = v.make();
            UsbStuff stuff;
            stuff.PathBuffer.fill(0xEE);
            ASSERT_TRUE(stuff.StartBoard(*binding, dir)) << what;
            EXPECT_EQ(stuff.FirmwarePath, expected) << what;
            ASSERT_FALSE(fake::calls().empty()) << what;
            EXPECT_EQ(QByteArray::fromStdString(fake::calls().back().path), expected) << what;
            EXPECT_EQ(stuff.PathBuffer[static_cast<std::size_t>(expected.size())], 0) << what;
        }
    }
}

namespace {

struct Child {
    int status = -1; // as waitpid reports it
    std::string out;
};

std::string describe(int status) {
    if (WIFSIGNALED(status)) {
        return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    }
    return "exited with " + std::to_string(WEXITSTATUS(status));
}

// Runs a program to its end in this process's environment with `env`
// ("NAME=value") set on top; its standard output is collected. A crash of
// the child is its own status, never this test's.
Child run(const std::string& program, const std::vector<std::string>& args,
          const std::vector<std::string>& env = {}) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    for (char** e = environ; *e; ++e) {
        const std::string_view inherited(*e);
        const bool replaced = std::any_of(env.begin(), env.end(), [&](const std::string& mine) {
            const auto name = mine.substr(0, mine.find('=') + 1);
            return inherited.substr(0, name.size()) == name;
        });
        if (!replaced) {
            envp.push_back(*e);
        }
    }
    envp.push_back(nullptr);

    Child child;
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return child;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    if (spawned != 0) {
        ::close(pipe[0]);
        ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(spawned);
        return child;
    }
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0) {
            child.out.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    ::close(pipe[0]);
    while (::waitpid(pid, &child.status, 0) < 0 && errno == EINTR) {
    }
    return child;
}

std::string binDir() {
    return QCoreApplication::applicationDirPath().toStdString();
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

// The probe stands in for a program copied into the folder, with the fake
// link library beside it: the path the library receives must name that very
// folder.
TEST(ProgramFolder, FirmwarePathNamesTheFolderTheProgramRunsFrom) {
    const TempDir tmp;
    const std::filesystem::path base = std::filesystem::canonical(tmp.path());
    for (const auto& folder : kFolders) {
        const std::filesystem::path dir = base / folder.name.toStdString();
        std::filesystem::create_directory(dir);
        for (const char* file : {"link_probe", "libQdFakeLink.so"}) {
            std::filesystem::copy_file(binDir() + "/" + file, dir / file);
        }
        const Child child = run((dir / "link_probe").string(), {"firmware"});
        ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0)
            << folder.what << ": " << describe(child.status);
        const std::string expected = (dir / "QD1600.hex").string();
        EXPECT_EQ(child.out, expected + "\n" + expected + "\n")
            << folder.what << ": FirmwarePath, then the path the library received";
    }
}

namespace {

// Where the fake library's loaded segments end in its file.
std::size_t segmentsEnd(const std::string& library) {
    ElfW(Ehdr) header;
    std::memcpy(&header, library.data(), sizeof header);
    std::size_t end = 0;
    for (int i = 0; i < header.e_phnum; ++i) {
        ElfW(Phdr) segment;
        std::memcpy(&segment, library.data() + header.e_phoff + i * sizeof segment, sizeof segment);
        if (segment.p_type == PT_LOAD || segment.p_type == PT_DYNAMIC) {
            end = std::max<std::size_t>(end, segment.p_offset + segment.p_filesz);
        }
    }
    return end;
}

} // namespace

// Copies of the fake library, whole or cut short, bound the two ways the
// programs bind theirs. dlopen maps a cut-off file and dies of SIGBUS where
// it touches a page past its end; the binding must refuse it beforehand.
TEST(DamagedLinkLibrary, IsRefusedWithTheLibraryErrorAndTheProgramLives) {
    const std::string whole = readAll(binDir() + "/libQdFakeLink.so");
    ElfW(Ehdr) header;
    ASSERT_GT(whole.size(), sizeof header);
    std::memcpy(&header, whole.data(), sizeof header);
    const std::size_t headersEnd = header.e_phoff + header.e_phnum * sizeof(ElfW(Phdr));
    const std::size_t end = segmentsEnd(whole);
    ASSERT_GT(end, 4096u) << "a copy cut at 4 KiB would still be whole";
    std::string otherMachine = whole;
    const std::uint16_t machine = header.e_machine == EM_AARCH64 ? EM_X86_64 : EM_AARCH64;
    std::memcpy(otherMachine.data() + offsetof(ElfW(Ehdr), e_machine), &machine, sizeof machine);

    const auto holding = [](std::string content) {
        return [content](const std::string& path) { writeFile(path, content); };
    };
    struct Case {
        const char* what;
        std::function<void(const std::string& path)> make;
        bool loads;
    };
    const Case cases[] = {
        {"complete copy", holding(whole), true},
        {"ends where its last segment ends", holding(whole.substr(0, end)), true},
        {"empty file", holding(""), false},
        {"text, not a library", holding("not a library\n"), false},
        {"ELF header only", holding(whole.substr(0, sizeof header)), false},
        {"cut after its program headers", holding(whole.substr(0, headersEnd)), false},
        {"first 4 KiB", holding(whole.substr(0, 4096)), false},
        {"one byte short of its last segment", holding(whole.substr(0, end - 1)), false},
        {"built for another machine", holding(otherMachine), false},
        // opening it to look inside must not wait for a writer
        {"named pipe", [](const std::string& path) { ::mkfifo(path.c_str(), 0600); }, false},
    };
    struct Binding {
        const char* how;
        bool byName;
    };
    const Binding bindings[] = {{"at a fixed path", false}, {"by name", true}};
    for (const auto& b : bindings) {
        for (const auto& c : cases) {
            const std::string what = std::string(c.what) + ", " + b.how;
            const TempDir tmp;
            const std::string library = tmp.file("libQdCopiedLink.so");
            c.make(library);
            const Child child = b.byName ? run(binDir() + "/link_probe", {"name", "QdCopiedLink"},
                                               {"LD_LIBRARY_PATH=" + tmp.path().string()})
                                         : run(binDir() + "/link_probe", {"path", library});
            if (!WIFEXITED(child.status)) {
                ADD_FAILURE() << what << ": " << describe(child.status);
                continue;
            }
            if (c.loads) {
                EXPECT_EQ(child.out, "ok\n") << what;
                continue;
            }
            EXPECT_EQ(child.out.rfind("error 48: ", 0), 0u) << what << ": " << child.out;
            const std::string named = b.byName ? "libQdCopiedLink.so" : library;
            EXPECT_NE(child.out.find(named), std::string::npos)
                << what << ": \"" << child.out << "\" does not name " << named;
        }
    }
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
