# Cross-compiles for 32-bit Windows; test programs run under Wine, whose prefix needs the
# 32-bit side (wine32) for them.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KQ_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
