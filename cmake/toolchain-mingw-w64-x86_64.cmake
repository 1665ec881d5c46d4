# Cross-compiles for 64-bit Windows; test programs run under Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KQ_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
