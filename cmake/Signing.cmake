# Optional Authenticode signing of the shipped executable after each link.

option(HEBREW_OCR_SIGN "Sign HebrewOcrPack.exe with Authenticode after linking" OFF)
set(HEBREW_OCR_SIGN_CERTIFICATE "" CACHE FILEPATH
    "PKCS#12 file with the code-signing certificate and its private key")
set(HEBREW_OCR_SIGN_PASSWORD_FILE "" CACHE FILEPATH
    "File holding the certificate's password")
set(HEBREW_OCR_SIGN_TIMESTAMP_URL "" CACHE STRING
    "RFC 3161 time-stamping service, if any")

if(HEBREW_OCR_SIGN)
  find_program(HEBREW_OCR_OSSLSIGNCODE osslsigncode)
  if(NOT HEBREW_OCR_OSSLSIGNCODE)
    message(FATAL_ERROR "HebrewOcrPack: HEBREW_OCR_SIGN needs osslsigncode")
  endif()
  foreach(input HEBREW_OCR_SIGN_CERTIFICATE HEBREW_OCR_SIGN_PASSWORD_FILE)
    if(NOT EXISTS "${${input}}" OR IS_DIRECTORY "${${input}}")
      message(FATAL_ERROR "HebrewOcrPack: HEBREW_OCR_SIGN is on but ${input} "
                          "(\"${${input}}\") names no file")
    endif()
  endforeach()
  message(STATUS "HebrewOcrPack: signing with ${HEBREW_OCR_SIGN_CERTIFICATE}")
  if(HEBREW_OCR_SIGN_TIMESTAMP_URL STREQUAL "")
    message(WARNING "HebrewOcrPack: signing without a timestamp. The "
                    "signature will stop verifying when the certificate "
                    "expires. Releases should name an RFC 3161 time-stamping "
                    "service in HEBREW_OCR_SIGN_TIMESTAMP_URL.")
  endif()
endif()

function(hebrew_ocr_sign_after_link target)
  if(NOT HEBREW_OCR_SIGN)
    return()
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND}
            -DEXECUTABLE=$<TARGET_FILE:${target}>
            -DCERTIFICATE=${HEBREW_OCR_SIGN_CERTIFICATE}
            -DPASSWORD_FILE=${HEBREW_OCR_SIGN_PASSWORD_FILE}
            -DTIMESTAMP_URL=${HEBREW_OCR_SIGN_TIMESTAMP_URL}
            -DOSSLSIGNCODE=${HEBREW_OCR_OSSLSIGNCODE}
            -P ${PROJECT_SOURCE_DIR}/cmake/SignExecutable.cmake
    VERBATIM)
endfunction()
