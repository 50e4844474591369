# Cross build for 32-bit Windows, the shipping target.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZR_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Built binaries run under Wine's WoW64 (a 64-bit prefix with wine32), in the
# same prefix as the 64-bit build's.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
