# Signs a Windows executable or a PowerShell script with Authenticode
# through osslsigncode.
#
#   cmake -DEXECUTABLE=file.exe -DCERTIFICATE=cert.pfx -DPASSWORD_FILE=pass.txt
#         [-DOUTPUT=signed.exe] [-DTIMESTAMP_URL=url] [-DOSSLSIGNCODE=path]
#         [-DDESCRIPTION=text] -P SignExecutable.cmake
#
# CERTIFICATE is a PKCS#12 file holding the certificate and its private key;
# PASSWORD_FILE holds its password, so that the password never appears on a
# command line. Without OUTPUT the executable is signed in place.

foreach(required EXECUTABLE CERTIFICATE PASSWORD_FILE)
  if(NOT DEFINED ${required} OR "${${required}}" STREQUAL "")
    message(FATAL_ERROR "signing: ${required} is not set")
  endif()
endforeach()
foreach(input EXECUTABLE CERTIFICATE PASSWORD_FILE)
  if(NOT EXISTS "${${input}}" OR IS_DIRECTORY "${${input}}")
    message(FATAL_ERROR "signing: ${input} ${${input}} does not exist")
  endif()
endforeach()
if(NOT OSSLSIGNCODE)
  find_program(OSSLSIGNCODE osslsigncode)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "signing: osslsigncode is not installed")
  endif()
endif()
if(NOT OUTPUT)
  set(OUTPUT "${EXECUTABLE}")
endif()
if(NOT DESCRIPTION)
  get_filename_component(DESCRIPTION "${EXECUTABLE}" NAME_WE)
endif()

set(timestamp_args "")
if(TIMESTAMP_URL)
  set(timestamp_args -ts "${TIMESTAMP_URL}")
endif()

# osslsigncode refuses to overwrite its input, so it writes beside it first.
set(partial "${OUTPUT}.signing")
file(REMOVE "${partial}")
execute_process(
  COMMAND "${OSSLSIGNCODE}" sign -pkcs12 "${CERTIFICATE}"
          -readpass "${PASSWORD_FILE}" -h sha256 -n "${DESCRIPTION}"
          ${timestamp_args} -in "${EXECUTABLE}" -out "${partial}"
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE "${partial}")
  string(STRIP "${output}" output)
  message(FATAL_ERROR "signing: cannot sign ${EXECUTABLE} with certificate "
                      "${CERTIFICATE} (wrong password or not a PKCS#12 file "
                      "with a private key?):\n${output}")
endif()
file(RENAME "${partial}" "${OUTPUT}")
message(STATUS "Signed ${OUTPUT} with ${CERTIFICATE}")
