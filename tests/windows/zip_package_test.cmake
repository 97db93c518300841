# The Windows package as CPack makes it from this build: a .zip holding
# k24update.exe, README.txt and LICENSE.txt (CRLF line ends) in a folder named as the
# package, whose k24update.exe runs (static: no DLL beside it) and says what
# it carries. Run with cmake -P:
#   -DCPACK_CONFIG=<build>/CPackConfig.cmake -DWORK=<empty folder to use>
#   -DWINE_RUN=<wine-run> -DPACKAGE=<package file name without .zip>
#   -DVERSION=<project version> -DSAMPLES=<ON when the build carries the samples>
cmake_minimum_required(VERSION 3.25)

foreach(name CPACK_CONFIG WORK WINE_RUN PACKAGE VERSION SAMPLES)
  if(NOT DEFINED ${name})
    message(FATAL_ERROR "zip_package_test: -D${name}=... is needed")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} --config ${CPACK_CONFIG} -B ${WORK}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack failed (${result}):\n${output}")
endif()
set(zip ${WORK}/${PACKAGE}.zip)
if(NOT EXISTS ${zip})
  file(GLOB made ${WORK}/*.zip)
  message(FATAL_ERROR "cpack made no ${PACKAGE}.zip (made: ${made})\n${output}")
endif()

# Exactly the three files, in the package's folder.
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip} RESULT_VARIABLE result OUTPUT_VARIABLE listing)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the zip cannot be listed")
endif()
string(REPLACE "\n" ";" entries "${listing}")
list(FILTER entries EXCLUDE REGEX "(^$|/$)")  # folders
list(SORT entries)
set(expected ${PACKAGE}/LICENSE.txt ${PACKAGE}/README.txt ${PACKAGE}/k24update.exe)
if(NOT entries STREQUAL expected)
  message(FATAL_ERROR "the zip holds [${entries}], not [${expected}]")
endif()

file(MAKE_DIRECTORY ${WORK}/unpacked)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip} WORKING_DIRECTORY ${WORK}/unpacked RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the zip cannot be unpacked")
endif()
set(folder ${WORK}/unpacked/${PACKAGE})

# The README and the licence: every line ended CRLF.
# file(READ) drops carriage returns, so the line ends are read as bytes.
foreach(text README.txt LICENSE.txt)
  file(READ ${folder}/${text} hex HEX)
  string(REGEX REPLACE "(..)" " \\1" bytes "${hex}")
  string(REPLACE " 0d 0a" "" without_crlf "${bytes}")
  string(FIND "${without_crlf}" " 0a" lone_lf)
  string(FIND "${without_crlf}" " 0d" lone_cr)
  if(NOT lone_lf EQUAL -1 OR NOT lone_cr EQUAL -1 OR NOT bytes MATCHES " 0d 0a$")
    message(FATAL_ERROR "${text} has a line not ended CRLF")
  endif()
endforeach()
# The licence is the MIT licence, and says that the images are not under it.
file(READ ${folder}/LICENSE.txt licence)
if(NOT licence MATCHES "^MIT License\n" OR NOT licence MATCHES "recorder maker's, under the maker's terms")
  message(FATAL_ERROR "LICENSE.txt is not the project's licence:\n${licence}")
endif()

# The README: the placeholders filled in, a demo package saying what it is,
# and the licence named.
file(READ ${folder}/README.txt readme)
if(readme MATCHES "@[A-Z0-9_]+@")
  message(FATAL_ERROR "README.txt has a placeholder left: ${CMAKE_MATCH_0}")
endif()
if(NOT readme MATCHES "LICENSE.txt")
  message(FATAL_ERROR "README.txt does not name the licence")
endif()
# Which driver: WinUSB bound with Zadig on Windows 10 and 11, step by step.
if(NOT readme MATCHES "WINDOWS 10 AND 11: WINUSB, BOUND WITH ZADIG" OR NOT readme MATCHES "10C4 4512"
   OR NOT readme MATCHES "Install Driver")
  message(FATAL_ERROR "README.txt does not say how to bind WinUSB with Zadig")
endif()
if(NOT readme MATCHES "^k24update ${VERSION} for Windows\n")
  message(FATAL_ERROR "README.txt does not begin with its title and version")
endif()
string(FIND "${readme}" "DEMONSTRATION PACKAGE" demo_at)
if(SAMPLES AND demo_at EQUAL -1)
  message(FATAL_ERROR "the README of a package with the sample images does not say it is a demonstration")
elseif(NOT SAMPLES AND NOT demo_at EQUAL -1)
  message(FATAL_ERROR "the README of a package with real images calls it a demonstration")
endif()

# The packaged program itself, stripped as it is.
execute_process(COMMAND ${WINE_RUN} ${folder}/k24update.exe --version
                RESULT_VARIABLE result OUTPUT_VARIABLE version ERROR_VARIABLE errors)
string(REPLACE "\r" "" version "${version}")  # the line ends are Win32CommandLine's to check
set(expected_version "k24update ${VERSION}\n")
if(SAMPLES)
  string(APPEND expected_version
    "This build carries sample images, not real recorder firmware: it changes nothing on a recorder.\n")
endif()
if(NOT result EQUAL 0 OR NOT version STREQUAL expected_version)
  message(FATAL_ERROR "the packaged k24update.exe --version ended with ${result} and printed:\n${version}${errors}")
endif()
message(STATUS "${PACKAGE}.zip: k24update.exe, README.txt and LICENSE.txt")
