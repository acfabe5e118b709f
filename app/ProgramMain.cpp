// The entry of both programs. QD_VARIANT chooses the link library binding:
// 1 binds USBFunctions by name, 2 binds QNS_CYUSB_USB4 at its fixed path.

#include "link/Binding.h"
#include "ui/Program.h"

#include <memory>

int main(int argc, char** argv) {
    qd::ui::ProgramInfo info;
    info.version = QD_VERSION;
#if QD_VARIANT == 1
    info.makeBinding = [] { return std::make_unique<qd::link::UsbFunctionsBinding>(); };
#else
    info.makeBinding = [] { return std::make_unique<qd::link::QnsBinding>(QD_LINK2_PATH); };
#endif
    return qd::ui::runProgram(argc, argv, info);
}
