#include "link/Binding.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <sstream>

namespace qd::link {

using control::RuntimeError;

const char* const UsbFunctionsBinding::kLoadFirmWareSymbol = board::kLoadFirmWareExport;
const char* const UsbFunctionsBinding::kVendorIORequestSymbol = board::kVendorIORequestExport;

using board::LinkStatus;

namespace {

// Bigger than any answer our libraries give, even a list of 128 boards.
constexpr int kAnswerSize = 16384;

std::string resultText(const std::string& call, std::int16_t result) {
    return call + " failed (link library result " + std::to_string(result) + ")";
}

} // namespace

std::optional<LibraryBinding::Answer> LibraryBinding::query(const std::string& what) {
    if (!queryLooked_) {
        query_ = reinterpret_cast<board::LinkQueryFunction>(
            library_.tryResolve(board::kLinkQuerySymbol));
        queryLooked_ = true;
    }
    if (!query_) {
        return std::nullopt;
    }
    std::string text(kAnswerSize, '\0');
    const int result = query_(what.c_str(), text.data(), kAnswerSize);
    text.resize(text.find('\0'));
    return Answer{result, text};
}

void LibraryBinding::collectReasons() {
    if (!quietAsked_) {
        quietAsked_ = true;
        query("quiet");
    }
}

LinkOutcome LibraryBinding::outcome(bool succeeded, LinkStatus fallback, const std::string& what) {
    if (succeeded) {
        return {};
    }
    if (const auto why = query("why"); why && why->result > 0) {
        return {static_cast<LinkStatus>(why->result), why->text.empty() ? what : why->text};
    }
    return {fallback, what};
}

LinkOutcome LibraryBinding::request(std::int16_t request, std::int32_t value, std::int32_t index,
                                    std::int16_t direction, std::int16_t length,
                                    std::uint8_t* buffer) {
    collectReasons();
    const std::int16_t result = vendorRequest(request, value, index, direction, length, buffer);
    return outcome(requestSucceeded(result), LinkStatus::RequestFailed,
                   resultText("request " + std::to_string(request), result));
}

std::optional<std::vector<std::string>> LibraryBinding::boards() {
    collectReasons();
    const auto answer = query("boards");
    if (!answer || answer->result != 0) {
        return std::nullopt;
    }
    std::vector<std::string> lines;
    std::istringstream in(answer->text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

UsbFunctionsBinding::UsbFunctionsBinding(const std::string& libraryName)
    : LibraryBinding(DynamicLibrary::byName(libraryName)),
      loadFirmWare_(library_, kLoadFirmWareSymbol),
      vendorIORequest_(library_, kVendorIORequestSymbol) {}

std::int16_t UsbFunctionsBinding::vendorRequest(std::int16_t request, std::int32_t value,
                                                std::int32_t index, std::int16_t direction,
                                                std::int16_t length, std::uint8_t* buffer) {
    return VendorIORequest(request, value, index, direction, length,
                           reinterpret_cast<char*>(buffer));
}

LinkOutcome UsbFunctionsBinding::connect(int board) {
    collectReasons();
    if (board == 0) {
        return {};
    }
    const auto answer = query("select=" + std::to_string(board));
    if (!answer) {
        return {LinkStatus::BadArgument,
                "the link library " + libraryName() +
                    " finds its board by itself and cannot be told which one"};
    }
    if (answer->result == 0) {
        return {};
    }
    return {static_cast<LinkStatus>(answer->result),
            answer->text.empty() ? "no board " + std::to_string(board) : answer->text};
}

LinkOutcome UsbFunctionsBinding::download(char* path) {
    collectReasons();
    const std::int16_t result = LoadFirmWare(path);
    return outcome(result >= 1, LinkStatus::DownloadFailed, resultText("LoadFirmWare", result));
}

QnsBinding::QnsBinding(const std::string& libraryPath)
    : LibraryBinding(DynamicLibrary::atPath(libraryPath)),
      searchForBoards_(library_, "Search_For_Boards"), connect_(library_, "Connect"),
      downloadFirmware_(library_, "Download_Firmware"), vendorRequest_(library_, "Vendor_Request") {
}

std::int16_t QnsBinding::ConnectAndDownload(char* path) {
    std::array<std::uint8_t, 128> boardList{};
    std::int32_t boardCount = 0;
    // Neither result is looked at: a missing board shows as a failed download.
    Search_For_Boards(kVendorId, kProductId, &boardCount, boardList.data());
    Connect(kVendorId, kProductId, boardList[0], &BoardHandle);
    return Download_Firmware(BoardHandle, path);
}

std::vector<int> QnsBinding::listBoards(std::int16_t* result) {
    std::array<std::uint8_t, 128> list{};
    std::int32_t count = 0;
    *result = Search_For_Boards(kVendorId, kProductId, &count, list.data());
    std::vector<int> ids;
    for (const std::uint8_t id : list) {
        if (id == 0) {
            break;
        }
        ids.push_back(id);
    }
    return ids;
}

LinkOutcome QnsBinding::connect(int board) {
    collectReasons();
    std::int16_t result = 0;
    const std::vector<int> ids = listBoards(&result);
    if (result != 0 || ids.empty()) {
        char usbIds[16];
        std::snprintf(usbIds, sizeof usbIds, "%04X:%04X", kVendorId, kProductId);
        return outcome(false, LinkStatus::NoBoard,
                       std::string("no board found (USB ") + usbIds + ")");
    }
    const int id = board == 0 ? ids.front() : board;
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) {
        return {LinkStatus::NoBoard, "no board " + std::to_string(board) + " (" +
                                         std::to_string(ids.size()) + " found)"};
    }
    result = Connect(kVendorId, kProductId, static_cast<std::uint8_t>(id), &BoardHandle);
    return outcome(result == 0, LinkStatus::NoBoard,
                   "cannot connect to board " + std::to_string(id) + ": " +
                       resultText("Connect", result));
}

LinkOutcome QnsBinding::download(char* path) {
    collectReasons();
    const std::int16_t result = Download_Firmware(BoardHandle, path);
    return outcome(result == 0, LinkStatus::DownloadFailed,
                   resultText("Download_Firmware", result));
}

std::optional<std::vector<std::string>> QnsBinding::boards() {
    if (auto ours = LibraryBinding::boards()) {
        return ours;
    }
    // A foreign library still lists identifiers, and nothing more.
    std::int16_t result = 0;
    std::vector<std::string> lines;
    for (const int id : listBoards(&result)) {
        lines.push_back("id=" + std::to_string(id));
    }
    return lines;
}

std::int16_t QnsBinding::vendorRequest(std::int16_t request, std::int32_t value, std::int32_t index,
                                       std::int16_t direction, std::int16_t length,
                                       std::uint8_t* buffer) {
    // This library takes the request code and direction as bytes.
    const auto asByte = [](std::int16_t v) {
        if (v < 0 || v > 255) {
            throw RuntimeError::overflow();
        }
        return static_cast<std::uint8_t>(v);
    };
    return Vendor_Request(BoardHandle, asByte(request), value, index, asByte(direction), length,
                          buffer);
}

} // namespace qd::link
