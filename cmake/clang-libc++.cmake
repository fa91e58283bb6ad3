# clang with its own C++ library, libc++: the pairing of Apple's toolchain, on
# Linux (scripts/test-clang.sh; clang-16 is the newest Debian 12 carries).
# CMake reads this file for a new build tree given with --toolchain or through
# the CMAKE_TOOLCHAIN_FILE environment variable, so the builds the suite makes
# inside that leg (the pip install, the configure checks) use the same pairing.
set(CMAKE_CXX_COMPILER clang++-16)
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-stdlib=libc++")
