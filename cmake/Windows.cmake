# Flags for the mingw-w64 cross builds.
add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN
  _WIN32_WINNT=0x0601 WINVER=0x0601 _WIN32_IE=0x0800)
add_compile_options(-Wall -Wextra
  # Wine's dbghelp cannot read DWARF 5, GCC 12's default.
  -gdwarf-4
  # Keep every frame visible to the stack walk. Without the last one, 32-bit
  # GCC moves unlikely paths (every throw) to separate "cold" parts, which
  # Wine's dbghelp cannot name (only a function's first address range counts).
  -fno-optimize-sibling-calls -fno-omit-frame-pointer -fno-reorder-blocks-and-partition
  # Machine faults are turned into C++ exceptions: every instruction may throw.
  -fnon-call-exceptions)
# Static: the binaries must need nothing but system DLLs.
set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} -static")
set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} -static")
set(CMAKE_MODULE_LINKER_FLAGS "${CMAKE_MODULE_LINKER_FLAGS} -static")
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  # .def exports of stdcall functions without decorations.
  set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} -Wl,--kill-at")
  set(ZR_WIDL_ARCH --win32)
  # 32-bit type libraries come with wine32; the 64-bit ones serve for
  # compiling when it is missing.
  set(ZR_WINE_TLB_DIR /usr/lib/i386-linux-gnu/wine/i386-windows)
  if(NOT EXISTS ${ZR_WINE_TLB_DIR}/stdole2.tlb)
    set(ZR_WINE_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
  endif()
  # The 32-bit regsvr32 of the WoW64 prefix: registration lands in the 32-bit view.
  set(ZR_REGSVR32 C:/windows/syswow64/regsvr32.exe)
else()
  set(ZR_WIDL_ARCH --win64)
  set(ZR_WINE_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
  set(ZR_REGSVR32 C:/windows/system32/regsvr32.exe)
endif()
# Both builds run their tests under Wine, the 32-bit one in WoW64.
set(ZR_RUNS_HERE ON)

find_program(WIDL NAMES widl ${ZR_TRIPLE}-widl REQUIRED)
set(ZR_WINE_IDL_DIR /usr/include/wine/wine/windows)

# zr_widl(<name> <idl> [TLB]): header, IID definitions and optionally a type
# library from one IDL file, into the current binary folder.
function(zr_widl name idl)
  cmake_parse_arguments(W "TLB" "" "" ${ARGN})
  get_filename_component(idl_abs ${idl} ABSOLUTE)
  get_filename_component(base ${idl} NAME_WE)
  set(out ${CMAKE_CURRENT_BINARY_DIR})
  set(flags ${ZR_WIDL_ARCH} -I ${CMAKE_SOURCE_DIR} -I ${CMAKE_CURRENT_SOURCE_DIR}
            -I ${CMAKE_BINARY_DIR} -I ${ZR_WINE_IDL_DIR} -L ${ZR_WINE_TLB_DIR})
  set(outputs ${out}/${base}.h ${out}/${base}_i.c)
  set(cmds COMMAND ${WIDL} ${flags} -h -o ${out}/${base}.h ${idl_abs}
           COMMAND ${WIDL} ${flags} -u -o ${out}/${base}_i.c ${idl_abs})
  if(W_TLB)
    list(APPEND outputs ${out}/${base}.tlb)
    list(APPEND cmds COMMAND ${WIDL} ${flags} -t -o ${out}/${base}.tlb ${idl_abs})
  endif()
  add_custom_command(OUTPUT ${outputs} ${cmds} DEPENDS ${idl_abs} VERBATIM)
  add_custom_target(${name}_idl DEPENDS ${outputs})
  add_library(${name} INTERFACE)
  target_include_directories(${name} INTERFACE ${out})
  add_dependencies(${name} ${name}_idl)
  set_property(TARGET ${name} PROPERTY INTERFACE_ZR_IID_SOURCE ${out}/${base}_i.c)
  set(${name}_IID_SOURCE ${out}/${base}_i.c PARENT_SCOPE)
  set(${name}_TLB ${out}/${base}.tlb PARENT_SCOPE)
endfunction()

# GoogleTest built with the cross compiler from Debian's sources.
if(EXISTS /usr/src/googletest/CMakeLists.txt)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  target_compile_options(gtest PRIVATE -w)
  target_compile_options(gtest_main PRIVATE -w)
  target_compile_options(gmock PRIVATE -w)
endif()

# zr_split_debug(<target>): the binary that ships keeps no DWARF and none of
# its own symbols (Wine's dbghelp names nothing from a mingw symbol table,
# Windows' reads neither); they go to <file>.debug beside it, named in a
# .gnu_debuglink section. What --strip-unneeded leaves (the import symbols)
# keeps the string table, where Wine reads that section's long name. Wine's
# dbghelp follows the link from the binary's own folder, so a build tree
# still gives names and lines; an installed copy has no .debug file and reads
# no DWARF at its first stack trace: scripts/symbolize.sh names its frames.
find_program(ZR_OBJCOPY NAMES ${ZR_TRIPLE}-objcopy REQUIRED)
function(zr_split_debug target)
  set(file $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${ZR_OBJCOPY} --only-keep-debug ${file} ${file}.debug
    COMMAND ${ZR_OBJCOPY} --strip-unneeded --add-gnu-debuglink=${file}.debug ${file}
    VERBATIM)
endfunction()
