// A link library that lacks all but the first function of each variant.

#include <cstdint>

#define QD_FAKE_API __attribute__((visibility("default")))

QD_FAKE_API short LoadFirmWare(char*);
short LoadFirmWare(char*) {
    return 1;
}

extern "C" QD_FAKE_API std::int16_t Search_For_Boards(std::int32_t, std::int32_t, std::int32_t*,
                                                      std::uint8_t* list) {
    list[0] = 1;
    return 0;
}
