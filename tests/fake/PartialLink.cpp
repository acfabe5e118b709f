// A link library that lacks all but the first function of each variant.

#include "board/LinkAbi.h"

#include <cstdint>

QD_LINK_EXPORT_CXX short QD_LINK_CALL LoadFirmWare(char*);
short QD_LINK_CALL LoadFirmWare(char*) {
    return 1;
}

QD_LINK_EXPORT std::int16_t QD_LINK_CALL Search_For_Boards(std::int32_t, std::int32_t,
                                                           std::int32_t*, std::uint8_t* list) {
    list[0] = 1;
    return 0;
}
