# Run with cmake -P at build time: writes a C++ source file recording the
# SHA-256 of each stored image embedded in k24update (the whole 65,536-byte
# file, as sha256sum shows it), and whether any of them is one of the sample
# images of the same build, under whichever name.
#   cmake -DOUTPUT=<file.cpp> -DFWC=<file> -DBRC=<file> -DBRC20=<file>
#         -DSAMPLE_FWC=<file> -DSAMPLE_BRC=<file> -DSAMPLE_BRC20=<file> -P RecordImageDigests.cmake
# The file is rewritten only when its contents change, so an unchanged image
# rebuilds nothing.

cmake_minimum_required(VERSION 3.25)

set(names FWC BRC BRC20)
set(fields firmware nandReplacer flashReplacer)
set(sample_digests "")
foreach(name IN LISTS names)
  if(NOT EXISTS "${SAMPLE_${name}}")
    message(FATAL_ERROR "RecordImageDigests: the sample ${name} (${SAMPLE_${name}}) is missing")
  endif()
  file(SHA256 "${SAMPLE_${name}}" sample_digest)
  list(APPEND sample_digests ${sample_digest})
endforeach()

set(initialisers "")
set(carries_samples false)
foreach(name field IN ZIP_LISTS names fields)
  if(NOT EXISTS "${${name}}")
    message(FATAL_ERROR "RecordImageDigests: ${name} (${${name}}) is missing")
  endif()
  file(SHA256 "${${name}}" digest)
  if(digest IN_LIST sample_digests)
    set(carries_samples true)
  endif()
  string(REGEX REPLACE "(..)" "0x\\1, " bytes "${digest}")
  string(REGEX REPLACE ", $" "" bytes "${bytes}")
  string(APPEND initialisers "      // ${name}: sha256 ${digest}\n      .${field} = {${bytes}},\n")
endforeach()

set(text "// Generated at build time by cmake/RecordImageDigests.cmake from the images
// embedded in k24update. Do not edit.
#include \"images/image_digests.h\"

namespace k24 {

const ImageDigests& EmbeddedImageDigests() {
  static const ImageDigests digests = {
${initialisers}  };
  return digests;
}

bool EmbeddedImagesAreSamples() { return ${carries_samples}; }

}  // namespace k24
")

set(previous "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
endif()
if(NOT previous STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
