// Loading a library on POSIX systems, through dlopen.

#include "platform/DynamicLibrary.h"

#include <cstddef>
#include <dlfcn.h>
#include <unistd.h>
#include <utility>
#include <vector>
#ifdef __linux__
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <link.h>
#include <string_view>
#include <sys/stat.h>
#endif

namespace qd::platform {

namespace {

// What a file is, as far as loading it goes.
struct Verdict {
    enum Kind { Loadable, OtherPlatform, Broken } kind;
    std::string why;
};

#ifdef __linux__

// Opened without blocking: a named pipe in a library's place must not hang
// the program before it can be refused.
class OpenFile {
  public:
    explicit OpenFile(const std::string& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {}
    ~OpenFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    int fd() const { return fd_; }
    bool readAt(void* into, std::size_t size, std::uint64_t offset) const {
        auto* bytes = static_cast<char*>(into);
        while (size > 0) {
            const ssize_t n = ::pread(fd_, bytes, size, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            bytes += n;
            size -= static_cast<std::size_t>(n);
            offset += static_cast<std::uint64_t>(n);
        }
        return true;
    }

  private:
    int fd_;
};

using ElfHeader = ElfW(Ehdr);
using ProgramHeader = ElfW(Phdr);

bool within(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
    return offset <= size && length <= size - offset;
}

// The ELF header of the code running here: a library must match its class,
// byte order and machine.
const ElfHeader* ownHeader() {
    static const char marker = 0;
    Dl_info info{};
    if (dladdr(&marker, &info) == 0 || !info.dli_fbase) {
        return nullptr;
    }
    const auto* header = static_cast<const ElfHeader*>(info.dli_fbase);
    return std::memcmp(header->e_ident, ELFMAG, SELFMAG) == 0 ? header : nullptr;
}

// dlopen maps a library's segments straight from its file, and touching a
// page that lies past the end of a cut-off file raises SIGBUS inside dlopen
// rather than an error. So the headers are checked against the file's size
// before dlopen sees the file.
Verdict examine(const std::string& path) {
    const OpenFile file(path);
    if (file.fd() < 0) {
        return {Verdict::Broken, std::strerror(errno)};
    }
    struct stat status {};
    if (::fstat(file.fd(), &status) != 0) {
        return {Verdict::Broken, std::strerror(errno)};
    }
    if (!S_ISREG(status.st_mode)) {
        return {Verdict::Broken, "not a regular file"};
    }
    const auto size = static_cast<std::uint64_t>(status.st_size);
    ElfHeader header{};
    if (!file.readAt(&header, sizeof header, 0)) {
        return {Verdict::Broken, "too short for an ELF header"};
    }
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
        return {Verdict::Broken, "not an ELF file"};
    }
    // e_machine lies at the same offset in either class.
    if (const auto* own = ownHeader(); own && (header.e_ident[EI_CLASS] != own->e_ident[EI_CLASS] ||
                                               header.e_ident[EI_DATA] != own->e_ident[EI_DATA] ||
                                               header.e_machine != own->e_machine)) {
        return {Verdict::OtherPlatform, "built for another platform"};
    }
    if (header.e_type != ET_DYN) {
        return {Verdict::Broken, "not a shared library"};
    }
    if (header.e_phentsize != sizeof(ProgramHeader) || header.e_phnum == 0 ||
        header.e_phnum == PN_XNUM) {
        return {Verdict::Broken, "no usable program headers"};
    }
    std::vector<ProgramHeader> segments(header.e_phnum);
    const std::uint64_t tableSize = segments.size() * sizeof(ProgramHeader);
    if (!within(header.e_phoff, tableSize, size) ||
        !file.readAt(segments.data(), tableSize, header.e_phoff)) {
        return {Verdict::Broken, "cut off inside its program headers"};
    }
    for (const auto& segment : segments) {
        if ((segment.p_type == PT_LOAD || segment.p_type == PT_DYNAMIC) &&
            !within(segment.p_offset, segment.p_filesz, size)) {
            return {Verdict::Broken, "cut off: a segment ends at byte " +
                                         std::to_string(segment.p_offset + segment.p_filesz) +
                                         " of a file of " + std::to_string(size) + " bytes"};
        }
    }
    return {Verdict::Loadable, {}};
}

// dlopen searches the run path of the object that calls it. A sanitizer or
// any other library that intercepts dlopen becomes that caller and hides the
// program's run path, so the search follows the program's own search path:
// LD_LIBRARY_PATH, the program's run path, the system's folders.
std::vector<std::string> programSearchPath() {
    std::vector<std::string> folders;
#ifdef __GLIBC__ // dlinfo and its search-path query
    void* program = dlopen(nullptr, RTLD_NOW);
    Dl_serinfo size{};
    if (!program || dlinfo(program, RTLD_DI_SERINFOSIZE, &size) != 0) {
        return folders;
    }
    std::vector<std::max_align_t> storage(size.dls_size / sizeof(std::max_align_t) + 1);
    auto* info = reinterpret_cast<Dl_serinfo*>(storage.data());
    *info = size;
    if (dlinfo(program, RTLD_DI_SERINFO, info) != 0) {
        return folders;
    }
    for (unsigned i = 0; i < info->dls_cnt; ++i) {
        folders.emplace_back(info->dls_serpath[i].dls_name);
    }
#endif
    return folders;
}

// Beyond the search path, dlopen takes what the loader's cache (ldconfig)
// lists for the name, such as a library in /usr/local/lib. The paths the
// cache gives for a file name, in its order; none when it cannot be read.
std::vector<std::string> cachedPaths(const std::string& fileName) {
    std::vector<std::string> paths;
    std::ifstream in("/etc/ld.so.cache", std::ios::binary);
    const std::string cache{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const auto word = [&](std::size_t at) {
        std::uint32_t value = 0;
        if (at + sizeof value <= cache.size()) {
            std::memcpy(&value, cache.data() + at, sizeof value);
        }
        return value;
    };
    // An older cache starts with the old format (16-byte header, 12-byte
    // entries) and carries the current one after it, aligned to 8 bytes.
    constexpr std::string_view oldMagic = "ld.so-1.7.0";
    constexpr std::string_view magic = "glibc-ld.so.cache1.1";
    std::size_t start = 0;
    if (cache.compare(0, oldMagic.size(), oldMagic) == 0) {
        start = (16 + std::size_t{word(12)} * 12 + 7) & ~std::size_t{7};
    }
    if (start >= cache.size() || cache.compare(start, magic.size(), magic) != 0) {
        return paths;
    }
    // Strings are offsets from the start of the current format's header.
    const auto text = [&](std::uint32_t offset) {
        const std::size_t at = start + offset;
        if (at >= cache.size()) {
            return std::string_view();
        }
        const std::string_view rest(cache.data() + at, cache.size() - at);
        return rest.substr(0, rest.find('\0'));
    };
    const std::uint32_t count = word(start + 20);
    constexpr std::size_t headerSize = 48, entrySize = 24;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = start + headerSize + i * entrySize;
        if (entry + entrySize > cache.size()) {
            break;
        }
        if (text(word(entry + 4)) == fileName) {
            paths.emplace_back(text(word(entry + 8)));
        }
    }
    return paths;
}

#else // no ELF file check and no search of our own: dlopen decides

Verdict examine(const std::string&) {
    return {Verdict::Loadable, {}};
}
std::vector<std::string> programSearchPath() {
    return {};
}
std::vector<std::string> cachedPaths(const std::string&) {
    return {};
}

#endif

LoadedLibrary openFile(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* error = dlerror();
        return {nullptr, error ? error : ""};
    }
    return {handle, {}};
}

LoadedLibrary openAtPath(const std::string& path) {
    if (Verdict verdict = examine(path); verdict.kind != Verdict::Loadable) {
        return {nullptr, std::move(verdict.why)};
    }
    return openFile(path);
}

// The first file of that name along the search decides, as for the loader:
// one built for another platform is passed over, a damaged one is refused.
LoadedLibrary openByName(const std::string& fileName) {
    std::vector<std::string> candidates;
    for (const auto& folder : programSearchPath()) {
        candidates.push_back(folder + "/" + fileName);
    }
    for (auto& path : cachedPaths(fileName)) {
        candidates.push_back(std::move(path));
    }
    for (const auto& candidate : candidates) {
        if (::access(candidate.c_str(), F_OK) != 0) {
            continue;
        }
        const Verdict verdict = examine(candidate);
        if (verdict.kind == Verdict::OtherPlatform) {
            continue;
        }
        if (verdict.kind == Verdict::Broken) {
            return {nullptr, candidate + ": " + verdict.why};
        }
        return openFile(candidate);
    }
    // No such file anywhere the search knows of: dlopen's own search has the
    // last word, and its message says why it found nothing.
    return openFile(fileName);
}

} // namespace

std::string libraryFileName(const std::string& name) {
#if defined(__APPLE__)
    return "lib" + name + ".dylib";
#else
    return "lib" + name + ".so";
#endif
}

LoadedLibrary loadLibrary(const std::string& fileName) {
    return fileName.find('/') == std::string::npos ? openByName(fileName) : openAtPath(fileName);
}

void* librarySymbol(void* library, const char* symbol) {
    dlerror();
    return dlsym(library, symbol);
}

} // namespace qd::platform
