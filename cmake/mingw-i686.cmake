# x86 Windows with mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TALLOWIX_ARCH x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
