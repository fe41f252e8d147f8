# tfpp_preprocess: runs tfpp on Fortran sources at build time, one custom command per source,
# with a dependency file so that a change to an included file preprocesses its users again.
#
#   tfpp_preprocess(<out-var> SOURCES a.F b.F90 ...
#                   [DEFINES X Y=1] [INCLUDE_DIRECTORIES dir ...] [OPTIONS -m ...]
#                   [OUTPUT_DIRECTORY dir])
#
# <out-var> receives the preprocessed files: a.F -> a.f, b.F90 -> b.f90 (an extension the
# compiler preprocesses no further), in OUTPUT_DIRECTORY (default: ${CMAKE_CURRENT_BINARY_DIR}/tfpp).
# Needs the executable target tfpp::tfpp (find_package(tfpp) gives it). DEPFILE works with the
# Ninja generators and, from CMake 3.20 on, with the Makefile generators.
function(tfpp_preprocess out_var)
  cmake_parse_arguments(PARSE_ARGV 1 TFPP "" "OUTPUT_DIRECTORY"
                        "SOURCES;DEFINES;INCLUDE_DIRECTORIES;OPTIONS")
  if(TFPP_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tfpp_preprocess: unknown arguments: ${TFPP_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT TARGET tfpp::tfpp)
    message(FATAL_ERROR "tfpp_preprocess: no target tfpp::tfpp; call find_package(tfpp) first")
  endif()
  set(out_dir "${TFPP_OUTPUT_DIRECTORY}")
  if(NOT out_dir)
    set(out_dir "${CMAKE_CURRENT_BINARY_DIR}/tfpp")
  endif()
  get_filename_component(out_dir "${out_dir}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  file(MAKE_DIRECTORY "${out_dir}")

  # tfpp takes -D and -I with the value joined to the letter. Absolute include directories
  # give absolute names in the depfiles, whatever the generator's working directory.
  set(flags -nologo --error-exit)
  foreach(def IN LISTS TFPP_DEFINES)
    list(APPEND flags "-D${def}")
  endforeach()
  foreach(dir IN LISTS TFPP_INCLUDE_DIRECTORIES)
    get_filename_component(dir "${dir}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND flags "-I${dir}")
  endforeach()
  list(APPEND flags ${TFPP_OPTIONS})

  # Before 3.20 the Makefile generators ignore DEPFILE: the sources then depend on nothing
  # but themselves, and a changed include file needs a clean build.
  set(use_depfile FALSE)
  if(CMAKE_GENERATOR MATCHES "Ninja" OR NOT CMAKE_VERSION VERSION_LESS 3.20)
    set(use_depfile TRUE)
  else()
    message(WARNING "tfpp_preprocess: CMake ${CMAKE_VERSION} with ${CMAKE_GENERATOR} has no "
                    "DEPFILE support; changes to included files are not tracked")
  endif()

  set(outputs)
  foreach(src IN LISTS TFPP_SOURCES)
    get_filename_component(src_abs "${src}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    get_filename_component(stem "${src}" NAME_WLE)
    get_filename_component(ext "${src}" LAST_EXT)
    string(TOLOWER "${ext}" ext)
    set(out "${out_dir}/${stem}${ext}")
    set(depfile_args)
    if(use_depfile)
      set(depfile_args DEPFILE "${out}.d")
    endif()
    # The text goes to a temporary name first: a run that fails leaves no output that make or
    # Ninja would take for up to date.
    add_custom_command(
      OUTPUT "${out}"
      COMMAND tfpp::tfpp ${flags} "--deps=${out}.d" "--deps-target=${out}" "${src_abs}"
              "${out}.tmp"
      COMMAND "${CMAKE_COMMAND}" -E rename "${out}.tmp" "${out}"
      DEPENDS "${src_abs}" tfpp::tfpp
      ${depfile_args}
      COMMENT "Preprocessing ${src}"
      VERBATIM)
    list(APPEND outputs "${out}")
  endforeach()
  set(${out_var} "${outputs}" PARENT_SCOPE)
endfunction()
