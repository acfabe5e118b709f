#pragma once

#include "board/BoardFacts.h"
#include "board/LinkQuery.h"
#include "link/DynamicLibrary.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qd::link {

using board::kProductId;
using board::kVendorId;

// What became of a call into the link library, for a tool that looks at
// every result: the library's own reason and words where it can give them
// (our libraries' query export), else what the result alone says.
struct LinkOutcome {
    board::LinkStatus status = board::LinkStatus::Ok;
    std::string message; // one line; empty on success

    bool ok() const { return status == board::LinkStatus::Ok; }
};

// The outside link library as the board commands and the start-up see it.
// The two programs differ only in which implementation they create. The
// windowed programs use the first two functions and, by design, never look
// at a result beyond the download's; tools use the rest, which look at all.
class LinkBinding {
  public:
    virtual ~LinkBinding() = default;

    // One vendor request; the library's result is handed back unexamined.
    virtual std::int16_t vendorRequest(std::int16_t request, std::int32_t value, std::int32_t index,
                                       std::int16_t direction, std::int16_t length,
                                       std::uint8_t* buffer) = 0;

    // The start-up download of the firmware whose NUL-terminated path lies
    // in `path`, by the variant's own steps; true when its rule says success.
    virtual bool downloadFirmware(char* path) = 0;

    // Finds and opens board `board` (1-based, as listed; 0: the library's
    // own choice, the first board found).
    virtual LinkOutcome connect(int board) = 0;

    // Loads the firmware image at the NUL-terminated `path` into the board
    // that connect opened.
    virtual LinkOutcome download(char* path) = 0;

    // One vendor request with its result looked at.
    virtual LinkOutcome request(std::int16_t request, std::int32_t value, std::int32_t index,
                                std::int16_t direction, std::int16_t length,
                                std::uint8_t* buffer) = 0;

    // The boards the library finds, one line each ("id=1 bus=1 port=2 …"),
    // as far as it can tell; nullopt from a library that cannot list them.
    virtual std::optional<std::vector<std::string>> boards() = 0;

    // The library's file name as it is looked for.
    virtual std::string libraryName() const = 0;
};

// What both bindings of an outside library share: the library, and the
// query export that our own libraries add for tools.
class LibraryBinding : public LinkBinding {
  public:
    LinkOutcome request(std::int16_t request, std::int32_t value, std::int32_t index,
                        std::int16_t direction, std::int16_t length, std::uint8_t* buffer) override;
    std::optional<std::vector<std::string>> boards() override;
    std::string libraryName() const override { return library_.fileName(); }

  protected:
    explicit LibraryBinding(DynamicLibrary library) : library_(std::move(library)) {}

    // Called first by every function that looks at results: a tool reports
    // each failure itself, from "why", so our library is asked to print
    // nothing. The windowed programs never get here and keep the library's
    // diagnostics on standard error.
    void collectReasons();

    // Whether a request's result means success in this library's terms.
    virtual bool requestSucceeded(std::int16_t result) const = 0;

    // The outcome of a call whose result said `succeeded`: on failure the
    // library's own reason when it has the query export, else `fallback`.
    LinkOutcome outcome(bool succeeded, board::LinkStatus fallback, const std::string& what);

    // Asks our library's query export; nullopt for a library that lacks it.
    // Loads the library if needed, so it can raise the run-time error.
    struct Answer {
        int result;
        std::string text;
    };
    std::optional<Answer> query(const std::string& what);

    DynamicLibrary library_;

  private:
    bool queryLooked_ = false;
    bool quietAsked_ = false;
    board::LinkQueryFunction query_ = nullptr;
};

// QD1600: USBFunctions, by name on the search path, two functions.
class UsbFunctionsBinding final : public LibraryBinding {
  public:
    explicit UsbFunctionsBinding(const std::string& libraryName = "USBFunctions");

    std::int16_t LoadFirmWare(char* path) { return loadFirmWare_(path); }
    std::int16_t VendorIORequest(std::int16_t request, std::int32_t value, std::int32_t index,
                                 std::int16_t direction, std::int16_t length, char* buffer) {
        return vendorIORequest_(request, value, index, direction, length, buffer);
    }

    std::int16_t vendorRequest(std::int16_t request, std::int32_t value, std::int32_t index,
                               std::int16_t direction, std::int16_t length,
                               std::uint8_t* buffer) override;
    bool downloadFirmware(char* path) override { return LoadFirmWare(path) >= 1; }
    bool requestSucceeded(std::int16_t result) const override { return result >= 1; }

    // The library finds its board by itself; another than the first can
    // only be chosen through our library's query export.
    LinkOutcome connect(int board) override;
    LinkOutcome download(char* path) override;

    // The names under which the library exports its functions here.
    static const char* const kLoadFirmWareSymbol;
    static const char* const kVendorIORequestSymbol;

  private:
    LazyFunction<std::int16_t(char*)> loadFirmWare_;
    LazyFunction<std::int16_t(std::int16_t, std::int32_t, std::int32_t, std::int16_t, std::int16_t,
                              char*)>
        vendorIORequest_;
};

// QD1600(version2): QNS_CYUSB_USB4 at a fixed path, four functions; the
// program finds and connects to the board itself and keeps its handle.
class QnsBinding final : public LibraryBinding {
  public:
    explicit QnsBinding(const std::string& libraryPath);

    std::int16_t Search_For_Boards(std::int32_t vendor, std::int32_t product, std::int32_t* count,
                                   std::uint8_t* list) {
        return searchForBoards_(vendor, product, count, list);
    }
    std::int16_t Connect(std::int32_t vendor, std::int32_t product, std::uint8_t board,
                         std::int32_t* handle) {
        return connect_(vendor, product, board, handle);
    }
    std::int16_t Download_Firmware(std::int32_t handle, char* path) {
        return downloadFirmware_(handle, path);
    }
    std::int16_t Vendor_Request(std::int32_t handle, std::uint8_t request, std::int32_t value,
                                std::int32_t index, std::uint8_t direction, std::int16_t length,
                                std::uint8_t* buffer) {
        return vendorRequest_(handle, request, value, index, direction, length, buffer);
    }

    // Searches, connects to the first board listed and downloads into it;
    // the download's result, 0 for success.
    std::int16_t ConnectAndDownload(char* path);

    std::int16_t vendorRequest(std::int16_t request, std::int32_t value, std::int32_t index,
                               std::int16_t direction, std::int16_t length,
                               std::uint8_t* buffer) override;
    bool downloadFirmware(char* path) override { return ConnectAndDownload(path) == 0; }
    bool requestSucceeded(std::int16_t result) const override { return result == 0; }

    LinkOutcome connect(int board) override;
    LinkOutcome download(char* path) override;
    std::optional<std::vector<std::string>> boards() override;

    std::int32_t BoardHandle = 0;

  private:
    // The identifiers Search_For_Boards lists; empty when none.
    std::vector<int> listBoards(std::int16_t* result);

    LazyFunction<std::int16_t(std::int32_t, std::int32_t, std::int32_t*, std::uint8_t*)>
        searchForBoards_;
    LazyFunction<std::int16_t(std::int32_t, std::int32_t, std::uint8_t, std::int32_t*)> connect_;
    LazyFunction<std::int16_t(std::int32_t, char*)> downloadFirmware_;
    LazyFunction<std::int16_t(std::int32_t, std::uint8_t, std::int32_t, std::int32_t, std::uint8_t,
                              std::int16_t, std::uint8_t*)>
        vendorRequest_;
};

} // namespace qd::link
