// qdctl: the evaluation board from the command line. Same validation, frames,
// requests and link libraries as the windowed programs, but every result is
// looked at and every failure ends with a message and its own exit status.

#include "control/RuntimeError.h"
#include "platform/Process.h"
#include "platform/StandardStreams.h"
#include "qdctl/Options.h"
#include "qdctl/StopSignals.h"
#include "run/Recording.h"
#include "session/ExitStatus.h"
#include "session/OutputRules.h"

#include <string>
#include <vector>

using qd::control::RuntimeError;
using qd::session::CommonOptions;
using qd::session::Failure;
using qd::session::LibraryFailed;
using qd::session::printFailure;

int main(int systemArgc, char** systemArgv) {
    // Every write is checked: a closed pipe is a failed write with its
    // status and message, not a silent death.
    qd::platform::prepareStandardStreams();
    // Paths in UTF-8 from here on, as Qt and the files of platform/ take
    // them; the link library gets its code page's bytes where it is called.
    std::vector<std::string> arguments = qd::platform::argumentsInUtf8(systemArgc, systemArgv);
    std::vector<char*> pointers;
    for (std::string& a : arguments) {
        pointers.push_back(a.data());
    }
    pointers.push_back(nullptr);
    const int argc = systemArgc;
    char** argv = pointers.data();
    const bool json = qd::qdctl::wantsJson(argc, argv);
    try {
        CommonOptions common;
        const qd::qdctl::Parsed parsed = qd::qdctl::parseCommandLine(argc, argv, common);
        if (!parsed.command) {
            return parsed.status;
        }
        qd::run::Recording recording(common, parsed.name, qd::qdctl::recordsOf(parsed.name));
        recording.stopStoreWaitsWith(qd::qdctl::storeStop());
        return recording.around([&] { return parsed.command->run(common, recording); });
    } catch (const Failure& f) {
        printFailure(json, f.status(), f.what());
        return f.status();
    } catch (const RuntimeError& e) {
        printFailure(json, LibraryFailed, e.what());
        return LibraryFailed;
    }
}
