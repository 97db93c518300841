# The three images k24update carries (firmware "FWC", boot loader replacers
# "BRC" and "BRC20") are build inputs: stored images, scrambled, 65,536 bytes
# each. On Linux they travel as ELF sections named .k24image.<name>, added to
# the linked executable by objcopy as non-allocated sections (never loaded when
# the program runs) and read back from the file by images/image_source_elf.cpp.
# On Windows they are RT_RCDATA resources of those names, compiled by windres
# from the same files and read back by images/image_source_win32.cpp. The image
# store checks each against the digest recorded at build time.
#
# To build an updater for released firmware, give all three:
#   -DK24_IMAGE_FWC=... -DK24_IMAGE_BRC=... -DK24_IMAGE_BRC20=...
# Without them the build generates sample images with k24image (tools/) and
# embeds those. The samples are NOT real recorder firmware.

set(K24_IMAGE_FWC "" CACHE FILEPATH "Stored firmware image (FWC) to embed; empty: the generated sample")
set(K24_IMAGE_BRC "" CACHE FILEPATH "Stored replacer image for boot loaders before 1.0 (BRC); empty: the generated sample")
set(K24_IMAGE_BRC20 "" CACHE FILEPATH "Stored replacer image for boot loaders 1.0 and later (BRC20); empty: the generated sample")

# Must match kImageSectionPrefix in images/image_source_elf.h.
set(K24_IMAGE_SECTION_PREFIX ".k24image.")
set(K24_IMAGE_NAMES FWC BRC BRC20)
set(K24_STORED_IMAGE_SIZE 65536)
# Where tools/CMakeLists.txt has k24image write the samples.
set(K24_SAMPLE_IMAGE_DIR ${PROJECT_BINARY_DIR}/sample-images)

if(NOT WIN32 AND NOT CMAKE_OBJCOPY)
  message(FATAL_ERROR "objcopy (binutils) is needed to embed the images in k24update")
endif()

# Firmware and replacers belong together: a released firmware with a sample
# replacer would put a sample boot loader into a real recorder.
set(_k24_given_images "")
foreach(_k24_name IN LISTS K24_IMAGE_NAMES)
  if(NOT "${K24_IMAGE_${_k24_name}}" STREQUAL "")
    list(APPEND _k24_given_images ${_k24_name})
  endif()
endforeach()
list(LENGTH _k24_given_images _k24_given_count)
if(_k24_given_count EQUAL 0)
  set(K24_EMBEDS_SAMPLE_IMAGES ON)
  foreach(_k24_name IN LISTS K24_IMAGE_NAMES)
    set(K24_EMBEDDED_IMAGE_${_k24_name} ${K24_SAMPLE_IMAGE_DIR}/${_k24_name}.bin)
  endforeach()
  message(STATUS "k24update carries the SAMPLE images (not real recorder firmware); "
                 "set K24_IMAGE_FWC, K24_IMAGE_BRC and K24_IMAGE_BRC20 to embed real ones")
elseif(_k24_given_count EQUAL 3)
  set(K24_EMBEDS_SAMPLE_IMAGES OFF)
  foreach(_k24_name IN LISTS K24_IMAGE_NAMES)
    get_filename_component(_k24_file "${K24_IMAGE_${_k24_name}}" ABSOLUTE)
    if(NOT EXISTS "${_k24_file}" OR IS_DIRECTORY "${_k24_file}")
      message(FATAL_ERROR "K24_IMAGE_${_k24_name}: ${_k24_file} is not a readable file")
    endif()
    file(SIZE "${_k24_file}" _k24_size)
    if(NOT _k24_size EQUAL K24_STORED_IMAGE_SIZE)
      message(FATAL_ERROR "K24_IMAGE_${_k24_name}: ${_k24_file} is ${_k24_size} bytes; "
                          "a stored image is exactly ${K24_STORED_IMAGE_SIZE} bytes")
    endif()
    set(K24_EMBEDDED_IMAGE_${_k24_name} ${_k24_file})
    message(STATUS "k24update carries ${_k24_name} from ${_k24_file}")
  endforeach()
else()
  message(FATAL_ERROR "Give all three of K24_IMAGE_FWC, K24_IMAGE_BRC and K24_IMAGE_BRC20, or none "
                      "(then the samples are embedded); given: ${_k24_given_images}")
endif()

# Sets `out_args` to the objcopy arguments that add each named image file of
# the remaining arguments (NAME FILE NAME FILE ...) as a non-allocated section.
function(_k24_image_section_args out_args)
  set(args "")
  set(pairs ${ARGN})
  while(pairs)
    list(POP_FRONT pairs name file)
    set(section ${K24_IMAGE_SECTION_PREFIX}${name})
    list(APPEND args --add-section ${section}=${file} --set-section-flags ${section}=contents,readonly)
  endwhile()
  set(${out_args} ${args} PARENT_SCOPE)
endfunction()

# Adds the three embedded images to the executable `target` once it is linked
# (objcopy in place), and relinks it when an image file changes.
function(k24_embed_images target)
  set(pairs "")
  set(files "")
  foreach(name IN LISTS K24_IMAGE_NAMES)
    list(APPEND pairs ${name} ${K24_EMBEDDED_IMAGE_${name}})
    list(APPEND files ${K24_EMBEDDED_IMAGE_${name}})
  endforeach()
  if(WIN32)
    k24_image_resources(${target} ${pairs})
  else()
    _k24_image_section_args(args ${pairs})
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} ${args} $<TARGET_FILE:${target}>
      COMMENT "Embedding the images in ${target}"
      VERBATIM)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${files})
  endif()
  if(K24_EMBEDS_SAMPLE_IMAGES)
    add_dependencies(${target} k24_sample_image_files)
  endif()
endfunction()

# Windows: adds the images given by name (NAME FILE NAME FILE ...) to the
# executable `target` as RT_RCDATA resources of those names, through a resource
# script written at configure time and compiled by windres; the target is
# rebuilt when an image file changes.
function(k24_image_resources target)
  set(script "// Generated by cmake/EmbedImages.cmake: the stored images ${target} carries.\n")
  set(files "")
  set(pairs ${ARGN})
  while(pairs)
    list(POP_FRONT pairs name file)
    string(APPEND script "${name} RCDATA \"${file}\"\n")
    list(APPEND files ${file})
  endwhile()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_images.rc)
  file(CONFIGURE OUTPUT ${rc} CONTENT "${script}")
  target_sources(${target} PRIVATE ${rc})
  set_source_files_properties(${rc} TARGET_DIRECTORY ${target} PROPERTIES OBJECT_DEPENDS "${files}")
endfunction()

# Test fixture: a small ELF file at `output` (absolute path) carrying the
# stored images given by name, built by the custom target `target` (part of
# the default build):
#   k24_add_image_fixture(<target> <output> [FWC <file>] [BRC <file>] [BRC20 <file>])
# Images not named are absent from the file. The file is the tiny executable
# k24_image_fixture_base (tools/) with the sections added.
function(k24_add_image_fixture target output)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "FWC;BRC;BRC20" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "k24_add_image_fixture(${target}): unexpected arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  set(pairs "")
  set(files "")
  foreach(name IN LISTS K24_IMAGE_NAMES)
    if(DEFINED arg_${name})
      list(APPEND pairs ${name} ${arg_${name}})
      list(APPEND files ${arg_${name}})
    endif()
  endforeach()
  _k24_image_section_args(args ${pairs})
  get_filename_component(directory ${output} DIRECTORY)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${directory}
    COMMAND ${CMAKE_OBJCOPY} ${args} $<TARGET_FILE:k24_image_fixture_base> ${output}
    DEPENDS k24_image_fixture_base ${files}
    COMMENT "Building image fixture ${output}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

# The digests of the embedded images, recorded in a source file generated at
# build time (the sample images are themselves made at build time), for the
# library `target`: k24update checks each image against them before using it.
function(k24_add_embedded_image_digests target)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/embedded_image_digests.cpp)
  set(script ${PROJECT_SOURCE_DIR}/cmake/RecordImageDigests.cmake)
  set(args "")
  set(files "")
  foreach(name IN LISTS K24_IMAGE_NAMES)
    list(APPEND args -D${name}=${K24_EMBEDDED_IMAGE_${name}} -DSAMPLE_${name}=${K24_SAMPLE_IMAGE_DIR}/${name}.bin)
    list(APPEND files ${K24_EMBEDDED_IMAGE_${name}} ${K24_SAMPLE_IMAGE_DIR}/${name}.bin)
  endforeach()
  list(REMOVE_DUPLICATES files)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${output} ${args} -P ${script}
    DEPENDS ${script} ${files}
    COMMENT "Recording the digests of the embedded images"
    VERBATIM)
  add_library(${target} STATIC ${output})
  target_link_libraries(${target} PUBLIC k24_images PRIVATE k24_warnings)
  # The sample files are made by a target of tools/: the digests wait for them.
  add_dependencies(${target} k24_sample_image_files)
endfunction()
