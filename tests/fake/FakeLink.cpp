#include "FakeLink.h"

#include <algorithm>
#include <cstring>

namespace fake {

std::vector<Call>& calls() {
    static std::vector<Call> log;
    return log;
}

Behaviour& behaviour() {
    static Behaviour b;
    return b;
}

void reset() {
    calls().clear();
    behaviour() = Behaviour{};
}

namespace {

Call& record(const char* function, std::vector<long long> args) {
    calls().push_back({function, std::move(args), {}, {}, nullptr});
    return calls().back();
}

void noteBuffer(Call& call, const std::uint8_t* buffer, long long length) {
    call.buffer = buffer;
    if (buffer && length > 0) {
        call.bufferBefore.assign(buffer, buffer + length);
    }
}

void fillReply(std::uint8_t* buffer, long long direction, long long length) {
    const auto& reply = behaviour().reply;
    if (direction == 1 && buffer && !reply.empty()) {
        std::memcpy(buffer, reply.data(), std::min<std::size_t>(reply.size(), length));
    }
}

} // namespace

} // namespace fake

// Both variants' functions, exported as board/LinkAbi.h says ours are.
QD_LINK_EXPORT_CXX short QD_LINK_CALL LoadFirmWare(char* path);
QD_LINK_EXPORT_CXX short QD_LINK_CALL VendorIORequest(short request, int value, int index,
                                                      short direction, short length, char* buffer);

short QD_LINK_CALL LoadFirmWare(char* path) {
    fake::record("LoadFirmWare", {}).path = path ? path : "";
    return fake::behaviour().loadFirmWareResult;
}

short QD_LINK_CALL VendorIORequest(short request, int value, int index, short direction,
                                   short length, char* buffer) {
    auto* bytes = reinterpret_cast<std::uint8_t*>(buffer);
    fake::noteBuffer(fake::record("VendorIORequest", {request, value, index, direction, length}),
                     bytes, length);
    fake::fillReply(bytes, direction, length);
    return fake::behaviour().requestResult;
}

QD_LINK_EXPORT std::int16_t QD_LINK_CALL Search_For_Boards(std::int32_t vendor,
                                                           std::int32_t product,
                                                           std::int32_t* count,
                                                           std::uint8_t* list) {
    fake::record("Search_For_Boards", {vendor, product, count ? *count : -1});
    const auto& boards = fake::behaviour().boards;
    for (std::size_t i = 0; i < boards.size() && i < 128; ++i) {
        list[i] = boards[i];
    }
    return boards.empty() ? 1 : 0;
}

QD_LINK_EXPORT std::int16_t QD_LINK_CALL Connect(std::int32_t vendor, std::int32_t product,
                                                 std::uint8_t board, std::int32_t* handle) {
    fake::record("Connect", {vendor, product, board, handle ? *handle : -1});
    if (board != 0 && handle) {
        *handle = fake::behaviour().handle;
    }
    return board != 0 ? 0 : 1;
}

QD_LINK_EXPORT std::int16_t QD_LINK_CALL Download_Firmware(std::int32_t handle, char* path) {
    fake::record("Download_Firmware", {handle}).path = path ? path : "";
    return fake::behaviour().downloadFirmwareResult;
}

QD_LINK_EXPORT std::int16_t QD_LINK_CALL Vendor_Request(std::int32_t handle, std::uint8_t request,
                                                        std::int32_t value, std::int32_t index,
                                                        std::uint8_t direction, std::int16_t length,
                                                        std::uint8_t* buffer) {
    fake::noteBuffer(
        fake::record("Vendor_Request", {handle, request, value, index, direction, length}), buffer,
        length);
    fake::fillReply(buffer, direction, length);
    return fake::behaviour().requestResult;
}
