# The i386 build on an x86-64 Debian machine: g++ -m32 and the :i386 libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i386)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
# Debian ships GoogleTest as sources only for other architectures; build it with the tests.
set(ULVO_GTEST_FROM_SOURCE ON CACHE BOOL "" FORCE)
set(ULVO_BUILD_BENCH OFF CACHE BOOL "" FORCE)
