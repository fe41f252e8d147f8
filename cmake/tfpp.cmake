# tfpp_preprocess: runs tfpp on Fortran sources at build time, one custom command per source,
# with a dependency file so that a change to an included file preprocesses its users again.
#
#   tfpp_preprocess(<out-var> SOURCES a.F b.F90 ...
#                   [DEFINES X Y=1 "F(a)=a"] [INCLUDE_DIRECTORIES dir ...] [OPTIONS ...]
#                   [OUTPUT_DIRECTORY dir] [NO_FORTRAN_MODE] [NO_COMPILER_MACROS]
#                   [COMPILER_FLAGS -fopenmp ...])
#
# <out-var> receives the preprocessed files: a.F -> a.f, b.F90 -> b.f90 (an extension the
# compiler preprocesses no further), in OUTPUT_DIRECTORY (default: ${CMAKE_CURRENT_BINARY_DIR}/tfpp)
# under the source's own path relative to the current source folder, so that src/a/x.F90 and
# src/b/x.F90 give two files. Needs the executable target tfpp::tfpp (find_package(tfpp) gives it).
# DEPFILE works with the Ninja generators and, from CMake 3.20 on, with the Makefile generators.
#
# By default tfpp runs with --fortran (the code `gfortran -cpp` would give), OPTIONS coming
# after it so that they can change its settings; NO_FORTRAN_MODE leaves it out. The predefined
# macros of the project's Fortran compiler (__GFORTRAN__, __GNUC__, ...) are taken from the
# compiler at configure time into a file read with -imacros; NO_COMPILER_MACROS leaves them out.
# The compiler is asked with CMAKE_Fortran_FLAGS and COMPILER_FLAGS, so that flags which define
# macros (-fopenmp gives _OPENMP) count: give there those of the sources' compile.
# Each output is compiled with its source's folder on the include path, so that Fortran
# `include` lines find the files next to the source.

# Writes the predefined macros of the Fortran compiler of this project, asked with the flags of
# CMAKE_Fortran_FLAGS and `extra_flags`, into a file named after the compiler and the flags.
# Sets `${result_var}` to the file, or to "" when the compiler has no way to print them (a
# message says so).
function(_tfpp_compiler_macros result_var extra_flags)
  set(${result_var} "" PARENT_SCOPE)
  if(NOT CMAKE_Fortran_COMPILER)
    return()
  endif()
  separate_arguments(flags UNIX_COMMAND "${CMAKE_Fortran_FLAGS}")
  list(APPEND flags ${extra_flags})
  set(dir "${CMAKE_BINARY_DIR}/tfpp-compiler")
  set(file "${dir}/${CMAKE_Fortran_COMPILER_ID}-macros.h")
  if(flags)
    string(MD5 digest "${flags}")
    string(SUBSTRING "${digest}" 0 8 digest)
    set(file "${dir}/${CMAKE_Fortran_COMPILER_ID}-${digest}-macros.h")
  endif()
  set(empty "${dir}/empty.F90")
  file(MAKE_DIRECTORY "${dir}")
  file(WRITE "${empty}" "")
  # The Fortran set of macros: without the Fortran input language gfortran prints the C set
  # (__STDC__ and no __GFORTRAN__).
  set(id "${CMAKE_Fortran_COMPILER_ID}")
  if(id STREQUAL "GNU")
    set(cmd "${CMAKE_Fortran_COMPILER}" ${flags} -cpp -dM -E -x f95-cpp-input "${empty}")
  elseif(id MATCHES "^(LLVMFlang|Flang)$")
    set(cmd "${CMAKE_Fortran_COMPILER}" ${flags} -cpp -dM -E "${empty}")
  elseif(id MATCHES "^(IntelLLVM|Intel)$")
    set(cmd "${CMAKE_Fortran_COMPILER}" ${flags} -fpp -dM -E "${empty}")
  else()
    message(STATUS "tfpp_preprocess: no predefined macros known for the ${id} Fortran compiler")
    return()
  endif()
  execute_process(COMMAND ${cmd} RESULT_VARIABLE status OUTPUT_VARIABLE macros
                  ERROR_VARIABLE errors)
  if(NOT status EQUAL 0 OR NOT macros MATCHES "#define")
    message(STATUS "tfpp_preprocess: the ${id} Fortran compiler printed no predefined macros "
                   "(${cmd}): ${errors}")
    return()
  endif()
  # Only #define lines: whatever else a compiler writes is no business of the preprocessor.
  string(REGEX MATCHALL "#define [^\n]*" lines "${macros}")
  list(JOIN lines "\n" macros)
  # Written only when it changed, so that a new configure run preprocesses nothing again.
  file(WRITE "${file}.tmp" "${macros}\n")
  configure_file("${file}.tmp" "${file}" COPYONLY)
  file(REMOVE "${file}.tmp")
  set(${result_var} "${file}" PARENT_SCOPE)
endfunction()

function(tfpp_preprocess out_var)
  cmake_parse_arguments(PARSE_ARGV 1 TFPP "NO_FORTRAN_MODE;NO_COMPILER_MACROS" "OUTPUT_DIRECTORY"
                        "SOURCES;DEFINES;INCLUDE_DIRECTORIES;OPTIONS;COMPILER_FLAGS")
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

  # --fortran first: -D options after it define function-like macros as gcc -D does, and the
  # caller's OPTIONS come after it so that they can change what it set.
  set(flags -nologo --error-exit)
  set(extra_depends)
  if(NOT TFPP_NO_FORTRAN_MODE)
    list(APPEND flags --fortran)
  endif()
  if(NOT TFPP_NO_COMPILER_MACROS)
    _tfpp_compiler_macros(macros_file "${TFPP_COMPILER_FLAGS}")
    if(macros_file)
      list(APPEND flags -imacros "${macros_file}")
      list(APPEND extra_depends "${macros_file}")
    endif()
  endif()
  # tfpp takes -D and -I with the value joined to the letter. Absolute include directories
  # give absolute names in the depfiles, whatever the generator's working directory.
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
    get_filename_component(src_dir "${src_abs}" DIRECTORY)
    get_filename_component(stem "${src}" NAME_WLE)
    get_filename_component(ext "${src}" LAST_EXT)
    string(TOLOWER "${ext}" ext)
    # The source tree is mirrored: the output keeps the source's folder relative to the current
    # source folder ("../" becoming "__/" for a source outside it), so equal names never clash.
    file(RELATIVE_PATH rel_dir "${CMAKE_CURRENT_SOURCE_DIR}" "${src_dir}")
    set(out "${out_dir}")
    if(NOT rel_dir STREQUAL "")
      string(REPLACE "/" ";" parts "${rel_dir}")
      foreach(part IN LISTS parts)
        if(part STREQUAL "..")
          set(part "__")
        endif()
        string(APPEND out "/${part}")
      endforeach()
    endif()
    set(out "${out}/${stem}${ext}")
    get_filename_component(out_parent "${out}" DIRECTORY)
    file(MAKE_DIRECTORY "${out_parent}")
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
      DEPENDS "${src_abs}" tfpp::tfpp ${extra_depends}
      ${depfile_args}
      COMMENT "Preprocessing ${src}"
      VERBATIM)
    # Fortran `include` lines are read by the compiler from the output's folder: the source's
    # folder must be searched too.
    set_property(SOURCE "${out}" APPEND PROPERTY INCLUDE_DIRECTORIES "${src_dir}")
    list(APPEND outputs "${out}")
  endforeach()
  set(${out_var} "${outputs}" PARENT_SCOPE)
endfunction()
