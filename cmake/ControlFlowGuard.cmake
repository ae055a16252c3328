# Tells whether a linked 64-bit Windows program really has control-flow
# guard. The header bit alone proves nothing: some toolchains accept the flag
# and set the bit with no load configuration behind it, so nothing is
# guarded. A program counts as guarded only when its load configuration says
# its code is instrumented and carries a guard function table.
#
# As a function:  hebrew_ocr_read_control_flow_guard(FILE RESULT_VAR [REASON_VAR])
# As a script:    cmake -DEXECUTABLE=file.exe [-DEXPECT_GUARD=ON|OFF]
#                       -P ControlFlowGuard.cmake

# Reads `size` bytes at `offset` (an expression) of `file` as a
# little-endian number; bytes past the end read as 0. 8-byte fields are only compared with zero, which fits
# CMake's signed arithmetic.
function(_hebrew_ocr_read_le file offset size var)
  math(EXPR offset "${offset}")
  file(READ "${file}" hex OFFSET ${offset} LIMIT ${size} HEX)
  string(LENGTH "${hex}" length)
  set(value "")
  while(length GREATER 0)
    math(EXPR length "${length} - 2")
    string(SUBSTRING "${hex}" ${length} 2 byte)
    string(APPEND value "${byte}")
  endwhile()
  if(value STREQUAL "")
    set(value 0)
  endif()
  math(EXPR value "0x${value}")
  set(${var} ${value} PARENT_SCOPE)
endfunction()

function(hebrew_ocr_read_control_flow_guard file result_var)
  set(${result_var} FALSE PARENT_SCOPE)
  set(reason "")
  _hebrew_ocr_read_le("${file}" 60 4 pe)  # e_lfanew
  _hebrew_ocr_read_le("${file}" ${pe} 4 signature)
  math(EXPR optional "${pe} + 24")
  _hebrew_ocr_read_le("${file}" ${optional} 2 magic)
  if(NOT signature EQUAL 17744 OR NOT magic EQUAL 523)  # "PE\0\0", PE32+
    set(reason "not a 64-bit Windows program")
  else()
    _hebrew_ocr_read_le("${file}" "${optional} + 70" 2 characteristics)
    math(EXPR bit "${characteristics} & 0x4000")  # GUARD_CF
    # Data directory 10: the load configuration.
    _hebrew_ocr_read_le("${file}" "${optional} + 192" 4 config_rva)
    if(bit EQUAL 0)
      set(reason "the header does not ask for it")
    elseif(config_rva EQUAL 0)
      set(reason "the header asks for it but there is no load configuration")
    endif()
  endif()

  if(reason STREQUAL "")
    # Find the section that holds the load configuration.
    _hebrew_ocr_read_le("${file}" "${pe} + 6" 2 sections)
    _hebrew_ocr_read_le("${file}" "${pe} + 20" 2 optional_size)
    math(EXPR header "${optional} + ${optional_size}")
    set(config -1)
    foreach(index RANGE 1 ${sections})
      _hebrew_ocr_read_le("${file}" "${header} + 8" 4 virtual_size)
      _hebrew_ocr_read_le("${file}" "${header} + 12" 4 virtual_address)
      _hebrew_ocr_read_le("${file}" "${header} + 20" 4 raw_offset)
      math(EXPR end "${virtual_address} + ${virtual_size}")
      if(config_rva GREATER_EQUAL virtual_address AND config_rva LESS end)
        math(EXPR config "${config_rva} - ${virtual_address} + ${raw_offset}")
      endif()
      math(EXPR header "${header} + 40")
    endforeach()
    # IMAGE_LOAD_CONFIG_DIRECTORY64: Size at 0, GuardCFFunctionTable at
    # 0x80, GuardCFFunctionCount at 0x88, GuardFlags at 0x90.
    if(config GREATER_EQUAL 0)
      _hebrew_ocr_read_le("${file}" ${config} 4 config_size)
    endif()
    if(config LESS 0 OR config_size LESS 148)
      set(reason "the load configuration is missing or has no guard fields")
    else()
      _hebrew_ocr_read_le("${file}" "${config} + 128" 8 table)
      _hebrew_ocr_read_le("${file}" "${config} + 136" 8 count)
      _hebrew_ocr_read_le("${file}" "${config} + 144" 4 flags)
      math(EXPR instrumented "${flags} & 0x100")  # CF_INSTRUMENTED
      math(EXPR listed "${flags} & 0x400")  # CF_FUNCTION_TABLE_PRESENT
      if(instrumented EQUAL 0)
        string(CONCAT reason "the load configuration does not say the code "
                      "is instrumented")
      elseif(listed EQUAL 0 OR table EQUAL 0 OR count EQUAL 0)
        set(reason "the load configuration carries no guard function table")
      endif()
    endif()
  endif()

  if(reason STREQUAL "")
    set(${result_var} TRUE PARENT_SCOPE)
  endif()
  if(ARGC GREATER 2)
    set(${ARGV2} "${reason}" PARENT_SCOPE)
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT EXISTS "${EXECUTABLE}")
    message(FATAL_ERROR "usage: cmake -DEXECUTABLE=file.exe "
                        "[-DEXPECT_GUARD=ON|OFF] -P ControlFlowGuard.cmake")
  endif()
  hebrew_ocr_read_control_flow_guard("${EXECUTABLE}" guarded why)
  if(guarded)
    set(verdict "${EXECUTABLE}: control-flow guard is present")
  else()
    set(verdict "${EXECUTABLE}: no control-flow guard: ${why}")
  endif()
  # With EXPECT_GUARD the check fails unless the file is as expected, so a
  # build job can stop on it.
  if(DEFINED EXPECT_GUARD AND
     ((EXPECT_GUARD AND NOT guarded) OR (guarded AND NOT EXPECT_GUARD)))
    message(FATAL_ERROR "${verdict}, which is not what was expected")
  endif()
  message("${verdict}")
endif()
