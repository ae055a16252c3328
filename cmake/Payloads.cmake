# Chooses the six payload files that the executable embeds.
#
# By default the build generates deterministic placeholders with the sizes of
# the shipped files, so the installer can be built and tested without the OCR
# engine's data. A packager names the folder with the real files in
# HEBREW_OCR_PAYLOAD_DIR.
#
# Sets HEBREW_OCR_PAYLOAD_<id> to the path of each payload file,
# HEBREW_OCR_SHA256_<id> to its SHA-256, HEBREW_OCR_PAYLOAD_FILES to all six
# and HEBREW_OCR_PAYLOAD_DIR_USED to their folder.

set(HEBREW_OCR_PAYLOAD_DIR "" CACHE PATH
    "Folder holding the OCR engine's six language files; empty builds placeholders")

# resource ID:file name:size as shipped, in bytes
set(_payloads
    110:hebrew.ilex:460665
    111:eng.ilex:619914
    112:hebrew_engine.bin:1459
    113:net_hebrew.bin:735968
    114:heb.ilex:662432
    115:hebrew.ocr:1638022)

# Writes a placeholder of exactly `size` bytes. Each payload starts with a line
# naming it and then repeats every byte value from 1 to 255 but the two line
# breaks, rotated by the ID, so that a swapped or truncated copy shows. (CMake
# strings cannot hold a zero byte, and a CMake that writes text would change
# bytes 10 and 13, so the placeholders hold neither.)
function(_hebrew_ocr_write_placeholder path id name size)
  set(codes "")
  foreach(code RANGE 1 255)
    if(NOT code EQUAL 10 AND NOT code EQUAL 13)
      list(APPEND codes ${code})
    endif()
  endforeach()
  string(ASCII ${codes} all_bytes)
  string(LENGTH "${all_bytes}" count)
  math(EXPR rotation "${id} % ${count}")
  string(SUBSTRING "${all_bytes}" ${rotation} -1 head)
  string(SUBSTRING "${all_bytes}" 0 ${rotation} tail)
  set(pattern "${head}${tail}")
  math(EXPR repeats "${size} / ${count} + 1")
  string(REPEAT "${pattern}" ${repeats} body)
  set(content "HebrewOcrPack placeholder payload ${id} (${name}), not OCR engine data | ${body}")
  string(SUBSTRING "${content}" 0 ${size} content)

  # Leave an identical file alone so that its timestamp does not force the
  # resources to be rebuilt at every configure.
  if(EXISTS "${path}")
    file(SHA256 "${path}" old_hash)
    string(SHA256 new_hash "${content}")
    if(old_hash STREQUAL new_hash)
      return()
    endif()
  endif()
  file(WRITE "${path}" "${content}")
endfunction()

set(HEBREW_OCR_PAYLOAD_FILES "")
set(_missing "")
if(HEBREW_OCR_PAYLOAD_DIR)
  file(TO_CMAKE_PATH "${HEBREW_OCR_PAYLOAD_DIR}" _dir)
  message(STATUS "HebrewOcrPack: embedding the payload files from ${_dir}")
else()
  set(_dir "${CMAKE_BINARY_DIR}/payloads")
  file(MAKE_DIRECTORY "${_dir}")
  message(STATUS "HebrewOcrPack: embedding generated placeholder payloads "
                 "(not usable by the OCR engine; set HEBREW_OCR_PAYLOAD_DIR "
                 "for the real files)")
endif()

foreach(_payload IN LISTS _payloads)
  string(REPLACE ":" ";" _payload "${_payload}")
  list(GET _payload 0 _id)
  list(GET _payload 1 _name)
  list(GET _payload 2 _size)
  set(_path "${_dir}/${_name}")
  if(NOT HEBREW_OCR_PAYLOAD_DIR)
    _hebrew_ocr_write_placeholder("${_path}" ${_id} ${_name} ${_size})
  elseif(NOT EXISTS "${_path}" OR IS_DIRECTORY "${_path}")
    list(APPEND _missing "${_path}")
  endif()
  set(HEBREW_OCR_PAYLOAD_${_id} "${_path}")
  list(APPEND HEBREW_OCR_PAYLOAD_FILES "${_path}")
endforeach()

set(HEBREW_OCR_PAYLOAD_DIR_USED "${_dir}")

if(_missing)
  list(JOIN _missing "\n  " _missing_lines)
  message(FATAL_ERROR "HebrewOcrPack: HEBREW_OCR_PAYLOAD_DIR lacks these "
                      "payload files:\n  ${_missing_lines}")
endif()

# The size and SHA-256 of each embedded file, as installed: the detection
# script checks the six hashes, and a file rule can check hebrew.ocr, written
# last, for its size. A changed payload file configures the build again, so
# that the two never disagree.
foreach(_payload IN LISTS _payloads)
  string(REPLACE ":" ";" _payload "${_payload}")
  list(GET _payload 0 _id)
  list(GET _payload 1 _name)
  file(SIZE "${HEBREW_OCR_PAYLOAD_${_id}}" _size)
  file(SHA256 "${HEBREW_OCR_PAYLOAD_${_id}}" HEBREW_OCR_SHA256_${_id})
  message(STATUS "HebrewOcrPack: payload ${_id} ${_name}: ${_size} bytes")
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${HEBREW_OCR_PAYLOAD_FILES})
