# Compiler and linker settings for a release-grade executable: hardened,
# self-contained and reproducible. Compile options apply to everything built
# here; hebrew_ocr_release_executable() adds the link options to one program.

include(CheckCXXSourceCompiles)

set(_hebrew_ocr_empty_main "int main() { return 0; }")

if(MSVC)
  # Control-flow guard, and no build paths or timestamps in the output.
  add_compile_options(/guard:cf /Brepro)
  set(HEBREW_OCR_CONTROL_FLOW_GUARD ON)
else()
  # Keeps unused code out of the file, and build paths out of anything that
  # names a source file.
  add_compile_options(-ffunction-sections -fdata-sections
                      -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
                      -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)
  # Control-flow guard needs both compiler support and a runtime that
  # provides the guard check functions; try a full link.
  set(CMAKE_REQUIRED_FLAGS "-mguard=cf")
  set(CMAKE_REQUIRED_LINK_OPTIONS "-mguard=cf")
  check_cxx_source_compiles("${_hebrew_ocr_empty_main}"
                            HEBREW_OCR_TOOLCHAIN_HAS_GUARD_CF)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(HEBREW_OCR_TOOLCHAIN_HAS_GUARD_CF)
    add_compile_options(-mguard=cf)
    set(HEBREW_OCR_CONTROL_FLOW_GUARD ON)
  else()
    set(HEBREW_OCR_CONTROL_FLOW_GUARD OFF)
    message(STATUS "HebrewOcrPack: control-flow guard is not available with "
                   "this toolchain (${CMAKE_CXX_COMPILER_ID} "
                   "${CMAKE_CXX_COMPILER_VERSION}); building without it")
  endif()

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

# Adds the link options of a shipped program to `target`: 64-bit console,
# address-space layout randomisation with high-entropy addresses,
# non-executable data, control-flow guard where available, a static runtime,
# and no timestamp or symbols in the file. Sections start on page boundaries
# in the file as well as in memory, so the loader can map the 4 MB of
# payloads instead of copying them.
function(hebrew_ocr_release_executable target)
  if(MSVC)
    target_link_options(${target} PRIVATE
      /SUBSYSTEM:CONSOLE /DYNAMICBASE /HIGHENTROPYVA /NXCOMPAT /guard:cf
      /Brepro /MANIFEST:NO /FILEALIGN:4096)
  else()
    target_link_options(${target} PRIVATE
      -municode -s -Wl,--gc-sections
      -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat
      -Wl,--no-insert-timestamp -Wl,--file-alignment=0x1000
      ${HEBREW_OCR_NO_DEFAULT_MANIFEST_OPTION})
    if(HEBREW_OCR_CONTROL_FLOW_GUARD)
      target_link_options(${target} PRIVATE -mguard=cf)
    endif()
  endif()
endfunction()
