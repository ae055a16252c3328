# Compiler and linker settings for a release-grade executable: hardened,
# self-contained and reproducible. Compile options here apply to everything
# built; hebrew_ocr_program_code() adds what the shipped program's own code
# needs, and hebrew_ocr_release_executable() makes one shipped program.
#
# MinGW-w64 builds (clang or GCC) link no C or C++ runtime into a shipped
# program: it starts at ProgramStart (installer/startup.cc) and imports only
# Windows system DLLs. MSVC builds keep MSVC's static runtime, which enters
# wmain itself.

include(${CMAKE_CURRENT_LIST_DIR}/ControlFlowGuard.cmake)

# Control-flow guard counts only when a program built like the shipped one
# says so in its load configuration: some toolchains accept the flag and
# leave the header bit set with nothing behind it. A probe with an indirect
# call is linked with the flag and read back. Without MSVC's runtime, the
# probe carries the project's own load configuration, as the program does.
set(_probe_dir ${PROJECT_BINARY_DIR}/control-flow-guard-probe)
file(REMOVE ${_probe_dir}/probe.exe)
unset(_hebrew_ocr_guard_linked CACHE)
if(MSVC)
  set(_hebrew_ocr_guard_flag /guard:cf)
  file(WRITE ${_probe_dir}/probe.cc
       "static int Twice(int value) { return 2 * value; }\n"
       "int (*volatile call)(int) = Twice;\n"
       "int main(int argc, char**) { return call(argc) == 2 ? 0 : 1; }\n")
  try_compile(_hebrew_ocr_guard_linked ${_probe_dir}/build
    SOURCES ${_probe_dir}/probe.cc
    COMPILE_DEFINITIONS ${_hebrew_ocr_guard_flag}
    LINK_OPTIONS ${_hebrew_ocr_guard_flag}
    COPY_FILE ${_probe_dir}/probe.exe
    OUTPUT_VARIABLE _probe_log)
else()
  set(_hebrew_ocr_guard_flag -mguard=cf)
  file(WRITE ${_probe_dir}/probe.cc
       "#include <windows.h>\n"
       "static int Twice(int value) { return 2 * value; }\n"
       "int (*volatile call)(int) = Twice;\n"
       "extern \"C\" void ProgramStart() {\n"
       "  ExitProcess(call(1) == 2 ? 0 : 1);\n"
       "}\n")
  try_compile(_hebrew_ocr_guard_linked ${_probe_dir}/build
    SOURCES ${_probe_dir}/probe.cc
            ${PROJECT_SOURCE_DIR}/installer/control_flow_guard.cc
    COMPILE_DEFINITIONS ${_hebrew_ocr_guard_flag}
    LINK_OPTIONS ${_hebrew_ocr_guard_flag} -nostdlib -Wl,--entry=ProgramStart
    LINK_LIBRARIES kernel32
    COPY_FILE ${_probe_dir}/probe.exe
    OUTPUT_VARIABLE _probe_log)
endif()
set(HEBREW_OCR_CONTROL_FLOW_GUARD OFF)
if(NOT _hebrew_ocr_guard_linked)
  set(_guard_reason "it does not build with ${_hebrew_ocr_guard_flag}")
else()
  hebrew_ocr_read_control_flow_guard(${_probe_dir}/probe.exe
                                     HEBREW_OCR_CONTROL_FLOW_GUARD
                                     _guard_reason)
  string(PREPEND _guard_reason "a probe linked with "
                               "${_hebrew_ocr_guard_flag} has none: ")
endif()
if(HEBREW_OCR_CONTROL_FLOW_GUARD)
  message(STATUS "HebrewOcrPack: control-flow guard is on (checked in a "
                 "probe's load configuration)")
elseif(HEBREW_OCR_REQUIRE_CONTROL_FLOW_GUARD)
  message(FATAL_ERROR "HebrewOcrPack: control-flow guard is required "
                      "(HEBREW_OCR_REQUIRE_CONTROL_FLOW_GUARD) but not "
                      "available: ${_guard_reason}")
else()
  message(STATUS "HebrewOcrPack: control-flow guard is not available with "
                 "this toolchain (${CMAKE_CXX_COMPILER_ID} "
                 "${CMAKE_CXX_COMPILER_VERSION}): ${_guard_reason}; building "
                 "without it")
endif()

if(MSVC)
  # No build paths or timestamps in the output.
  add_compile_options(/Brepro)
else()
  # Keeps unused code out of the file, and build paths out of anything that
  # names a source file.
  add_compile_options(-ffunction-sections -fdata-sections
                      -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
                      -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)

  # A stack cookie in every function with a local array, as MSVC's default
  # /GS gives. The guard and the failure path come from the project's own
  # unit, linked into every program: the flag is not passed at link time,
  # since that would bring in GCC's libssp.
  add_compile_options(-fstack-protector-strong)
  add_library(stack_guard OBJECT ${PROJECT_SOURCE_DIR}/installer/stack_guard.cc)
  target_include_directories(stack_guard PRIVATE ${PROJECT_SOURCE_DIR})
  # The unit changes the guard, so no frame of its own may be checked.
  target_compile_options(stack_guard PRIVATE -fno-stack-protector)
  target_link_libraries(stack_guard INTERFACE advapi32)

  # What a shipped program has in place of the runtime: its start-up and,
  # with the guard, the load configuration that carries it.
  add_library(program_startup OBJECT
              ${PROJECT_SOURCE_DIR}/installer/startup.cc)
  if(HEBREW_OCR_CONTROL_FLOW_GUARD)
    target_sources(program_startup PRIVATE
                   ${PROJECT_SOURCE_DIR}/installer/control_flow_guard.cc)
  endif()
  target_include_directories(program_startup PRIVATE ${PROJECT_SOURCE_DIR})
endif()

# Compiles `target` as code of a shipped program: no exceptions and no
# run-time type information (there is no runtime to support them), no
# static constructors (nothing would run them), and control-flow guard's
# instrumentation where the toolchain has it.
function(hebrew_ocr_program_code target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /GR- /EHs-c-)
  else()
    # Every indirect call must be one that the guard can vouch for: through
    # the guard's dispatch pointer, or through the import table. Windows'
    # functions are called through the linker's import thunks (a direct
    # call, then a jump through the table) rather than as dllimport, which
    # the optimiser would load into a register and call from there; and
    # switches compare rather than jump through a table.
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti
                           -fno-jump-tables)
    target_compile_definitions(${target} PRIVATE DECLSPEC_IMPORT=)
  endif()
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Werror=global-constructors)
  endif()
  if(HEBREW_OCR_CONTROL_FLOW_GUARD)
    target_compile_options(${target} PRIVATE ${_hebrew_ocr_guard_flag})
  endif()
endfunction()
if(NOT MSVC)
  hebrew_ocr_program_code(stack_guard)
  hebrew_ocr_program_code(program_startup)
endif()

# Links the stack protector's guard into `target`, a program built here with
# the protector on and linked with a runtime (the tests). MSVC's runtime
# carries its own (/GS).
function(hebrew_ocr_link_stack_guard target)
  if(NOT MSVC)
    target_link_libraries(${target} PRIVATE stack_guard)
  endif()
endfunction()

# Makes `target` a shipped program: its own code compiled as above; a 64-bit
# console program with address-space layout randomisation with
# high-entropy addresses, non-executable data and control-flow guard where
# available; no timestamp or symbols in the file. Sections start on page
# boundaries in the file as well as in memory, so the loader can map the
# 4 MB of payloads instead of copying them. Without MSVC, no runtime: the
# program's own start-up and stack guard, and Windows' DLLs alone.
function(hebrew_ocr_release_executable target)
  hebrew_ocr_program_code(${target})
  if(MSVC)
    target_link_options(${target} PRIVATE
      /SUBSYSTEM:CONSOLE /DYNAMICBASE /HIGHENTROPYVA /NXCOMPAT
      /Brepro /MANIFEST:NO /FILEALIGN:4096
      # The loader resolves the program's own imports from System32 only,
      # never from the folder it was started in.
      /DEPENDENTLOADFLAG:0x800)
  else()
    target_link_libraries(${target} PRIVATE program_startup stack_guard
                                            kernel32 advapi32)
    target_link_options(${target} PRIVATE
      -nostdlib -Wl,--entry=ProgramStart -Wl,--subsystem,console
      -s -Wl,--gc-sections
      -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat
      -Wl,--no-insert-timestamp -Wl,--file-alignment=0x1000
      # A load configuration that the linker finds wrong stops the build.
      -Wl,--fatal-warnings)
  endif()
  if(HEBREW_OCR_CONTROL_FLOW_GUARD)
    target_link_options(${target} PRIVATE ${_hebrew_ocr_guard_flag})
  endif()
endfunction()
