// What only POSIX systems have: program folders named by bytes that need
// not be text, and libraries that dlopen would map from damaged files.

#include "LinkTestSupport.h"
#include "TempDir.h"
#include "link/UsbStuff.h"

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <link.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace linktest;

namespace {

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

} // namespace

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
