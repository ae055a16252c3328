# Compiler and linker settings for a release-grade executable: hardened,
# self-contained and reproducible. Compile options apply to everything built
# here; hebrew_ocr_release_executable() adds the link options to one program.

include(${CMAKE_CURRENT_LIST_DIR}/ControlFlowGuard.cmake)

# Control-flow guard counts only when a program linked with it says so in its
# load configuration: some toolchains accept the flag and leave the header
# bit set with nothing behind it. A probe with an indirect call is linked
# with the flag and read back.
if(MSVC)
  set(_hebrew_ocr_guard_flag /guard:cf)
else()
  set(_hebrew_ocr_guard_flag -mguard=cf)
endif()
set(_probe_dir ${PROJECT_BINARY_DIR}/control-flow-guard-probe)
file(WRITE ${_probe_dir}/probe.cc
     "static int Twice(int value) { return 2 * value; }\n"
     "int (*volatile call)(int) = Twice;\n"
     "int main(int argc, char**) { return call(argc) == 2 ? 0 : 1; }\n")
file(REMOVE ${_probe_dir}/probe.exe)
unset(_hebrew_ocr_guard_linked CACHE)
try_compile(_hebrew_ocr_guard_linked ${_probe_dir}/build
  SOURCES ${_probe_dir}/probe.cc
  COMPILE_DEFINITIONS ${_hebrew_ocr_guard_flag}
  LINK_OPTIONS ${_hebrew_ocr_guard_flag}
  COPY_FILE ${_probe_dir}/probe.exe
  OUTPUT_VARIABLE _probe_log)
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
  add_compile_options(${_hebrew_ocr_guard_flag})
  message(STATUS "HebrewOcrPack: control-flow guard is on (checked in a "
                 "probe's load configuration)")
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
  # unit, linked into every program by hebrew_ocr_link_stack_guard(): the
  # flag is not passed at link time, since that would put GCC's libssp in
  # front of it.
  add_compile_options(-fstack-protector-strong)
  add_library(stack_guard OBJECT ${PROJECT_SOURCE_DIR}/installer/stack_guard.cc)
  # The unit changes the guard, so no frame of its own may be checked.
  target_compile_options(stack_guard PRIVATE -fno-stack-protector)
  target_link_libraries(stack_guard INTERFACE advapi32)

  # Some MinGW-w64 toolchains link a default manifest into every program;
  # the executable carries its own and must hold no other. An empty object
  # of the same name, found first, takes its place.
  execute_process(
    COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=default-manifest.o
    OUTPUT_VARIABLE _default_manifest OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${_default_manifest}" AND EXISTS "${_default_manifest}")
    set(_empty_dir ${PROJECT_BINARY_DIR}/no-default-manifest)
    file(MAKE_DIRECTORY ${_empty_dir})
    file(WRITE ${_empty_dir}/empty.cc "")
    execute_process(
      COMMAND ${CMAKE_CXX_COMPILER} -c ${_empty_dir}/empty.cc
              -o ${_empty_dir}/default-manifest.o
      RESULT_VARIABLE _empty_result)
    if(NOT _empty_result EQUAL 0)
      message(FATAL_ERROR "HebrewOcrPack: cannot build the empty object that "
                          "replaces ${_default_manifest}")
    endif()
    set(HEBREW_OCR_NO_DEFAULT_MANIFEST_OPTION -B${_empty_dir}/)
  endif()
endif()

# Links the stack protector's guard into `target`, a program built here with
# the protector on. MSVC's runtime carries its own (/GS).
function(hebrew_ocr_link_stack_guard target)
  if(NOT MSVC)
    target_link_libraries(${target} PRIVATE stack_guard)
  endif()
endfunction()

# Adds the link options of a shipped program to `target`: 64-bit console,
# address-space layout randomisation with high-entropy addresses,
# non-executable data, control-flow guard where available, a static runtime,
# and no timestamp or symbols in the file. Sections start on page boundaries
# in the file as well as in memory, so the loader can map the 4 MB of
# payloads instead of copying them.
function(hebrew_ocr_release_executable target)
  if(MSVC)
    target_link_options(${target} PRIVATE
      /SUBSYSTEM:CONSOLE /DYNAMICBASE /HIGHENTROPYVA /NXCOMPAT
      /Brepro /MANIFEST:NO /FILEALIGN:4096
      # The loader resolves the program's own imports from System32 only,
      # never from the folder it was started in.
      /DEPENDENTLOADFLAG:0x800)
  else()
    target_link_options(${target} PRIVATE
      -municode -s -Wl,--gc-sections
      -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat
      -Wl,--no-insert-timestamp -Wl,--file-alignment=0x1000
      ${HEBREW_OCR_NO_DEFAULT_MANIFEST_OPTION})
  endif()
  if(HEBREW_OCR_CONTROL_FLOW_GUARD)
    target_link_options(${target} PRIVATE ${_hebrew_ocr_guard_flag})
  endif()
endfunction()
