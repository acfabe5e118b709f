#include "platform/Error.h"
#include "platform/MappedRecord.h"
#include "platform/Win32.h"

namespace qd::platform {

void* mapRecord(FileHandle file, std::size_t size, std::string& why) {
    // The view keeps the mapping object alive once its handle is closed.
    const Handle mapping(::CreateFileMappingW(reinterpret_cast<HANDLE>(file), nullptr,
                                              PAGE_READWRITE, 0, static_cast<DWORD>(size),
                                              nullptr));
    void* view = mapping.valid()
                     ? ::MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size)
                     : nullptr;
    if (!view) {
        why = lastErrorText();
    }
    return view;
}

void unmapRecord(void* record, std::size_t /*size*/) {
    ::UnmapViewOfFile(record);
}

// The system refuses to cut short a file that is mapped: nothing to guard,
// and nothing to make whole again.
void guardRecord(const void*) {}
void unguardRecord(const void*) {}

bool remapRecord(FileHandle, void*, std::size_t) {
    return true;
}

} // namespace qd::platform
