#pragma once

// qdctl's modules: the parts that need more of Qt than Core (pictures,
// the servers), each a library beside qdctl, loaded only by the command that
// needs it, so that the one-shot commands stay light.

#include <string>

namespace qd::run {

// The entry `symbol` of the module `name` in qdctl's own folder, as
// `Function`; raises Failure(LibraryFailed) naming the module and why when
// it cannot be loaded. A module stays loaded to the end of the process.
using ModuleFunction = void (*)();
ModuleFunction moduleEntry(const std::string& name, const char* symbol);

template <class Function> Function loadModule(const std::string& name, const char* symbol) {
    return reinterpret_cast<Function>(moduleEntry(name, symbol));
}

} // namespace qd::run
