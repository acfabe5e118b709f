#include "platform/Error.h"
#include "platform/MappedRecord.h"

#include <sys/mman.h>

namespace qd::platform {

void* mapRecord(FileHandle file, std::size_t size, std::string& why) {
    void* mapped =
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, static_cast<int>(file), 0);
    if (mapped == MAP_FAILED) {
        why = lastErrorText();
        return nullptr;
    }
    return mapped;
}

void unmapRecord(void* record, std::size_t size) {
    ::munmap(record, size);
}

} // namespace qd::platform
