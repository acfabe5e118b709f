// qdctl: the evaluation board from the command line. Same validation, frames,
// requests and link libraries as the windowed programs, but every result is
// looked at and every failure ends with a message and its own exit status.

#include "control/RuntimeError.h"
#include "qdctl/Commands.h"
#include "qdctl/ExitStatus.h"
#include "qdctl/Options.h"
#include "qdctl/Output.h"
#include "qdctl/Serve.h"
#include "qdctl/System.h"

using namespace qd;
using namespace qd::cli;

int main(int argc, char** argv) {
    // Every write is checked: a closed pipe is a failed write with its
    // status and message, not a silent death.
    sys::prepareStandardStreams();
    const bool json = wantsJson(argc, argv);
    try {
        Options options;
        const Parsed parsed = parseCommandLine(argc, argv, options);
        if (!parsed.run) {
            return parsed.status;
        }
        if (options.command == Command::Serve) {
            return serve(options);
        }
        if (options.command == Command::SimMeter) {
            return simMeter(options);
        }
        const Result result = runCommand(options);
        const int status = statusOf(result);
        try {
            printResult(options, result);
            if (const auto* sweep = std::get_if<SweepResult>(&result); sweep && options.timing) {
                writeMessage(timingText(*sweep));
            }
        } catch (const Failure& f) {
            // A sweep that a signal ended says so by its status, whatever
            // became of its output.
            if (status < 128) {
                throw;
            }
            writeMessage(f.what());
        }
        return status;
    } catch (const Failure& f) {
        printFailure(json, f.status(), f.what());
        return f.status();
    } catch (const RuntimeError& e) {
        printFailure(json, LibraryFailed, e.what());
        return LibraryFailed;
    }
}
