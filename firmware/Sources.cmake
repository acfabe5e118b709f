# What the firmware image's generator is made of, relative to the top of
# the tree: the one list that the build machine's own build (host/) and a
# native build both compile, so that a native build catches a missing file.
set(QD_MKFIRMWARE_SOURCES firmware/mkfirmware.cpp drivers/IntelHex.cpp platform/FilePosix.cpp)
