# The -posix compilers: the -win32 ones have no std::thread, mutex or future.
set(CMAKE_C_COMPILER   ${ZR_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZR_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${ZR_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZR_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
