# Kernels written once and built once per instruction set, chosen at run time (SimdDispatch.h). Used by
# the driver's HQVGA conversions and by the VGA depth engine; it depends on nothing of either.
#   zentrox_simd   header-only target: SimdTable.h (the table type) and SimdDispatch.h (the choice)
#   zentrox_simd_isas(<var>)   the instruction sets kernels are built for on this processor (Sse2 Avx2
#                  Avx512 on x86-64, Advsimd on AArch64, none elsewhere)
#   zentrox_add_simd_kernels(TARGET <target> BODY <file> [FLAGS_<Isa> <flag>...])
#                  adds to <target> one source per instruction set, each a generated file that defines
#                  the set's macros (SimdKernels.cpp.in) and includes <file>, built with the set's
#                  flags plus any FLAGS_<Isa>
include_guard(GLOBAL)
set(ZENTROX_SIMD_DIR ${CMAKE_CURRENT_LIST_DIR} CACHE INTERNAL "sdk/simd, for zentrox_add_simd_kernels")

if(NOT TARGET zentrox_simd)
  add_library(zentrox_simd INTERFACE)
  target_include_directories(zentrox_simd INTERFACE $<BUILD_INTERFACE:${ZENTROX_SIMD_DIR}>)
endif()

function(zentrox_simd_isas out)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    set(${out} Sse2 Avx2 Avx512 PARENT_SCOPE)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
    set(${out} Advsimd PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

function(zentrox_add_simd_kernels)
  set(_extra "")
  foreach(_isa Sse2 Avx2 Avx512 Advsimd)
    list(APPEND _extra FLAGS_${_isa})
  endforeach()
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "TARGET;BODY" "${_extra}")
  get_filename_component(BODY ${arg_BODY} ABSOLUTE)
  set(_flags_Sse2 -msse2)
  set(_flags_Avx2 -mavx2 -mfma)
  set(_flags_Avx512 -mavx512f)
  set(_flags_Advsimd "")
  zentrox_simd_isas(_isas)
  foreach(ISA IN LISTS _isas)
    string(TOUPPER ${ISA} ISA_UPPER)
    string(TOLOWER ${ISA} ISA_LOWER)
    set(_file ${CMAKE_CURRENT_BINARY_DIR}/simd/${arg_TARGET}${ISA}.cpp)
    configure_file(${ZENTROX_SIMD_DIR}/SimdKernels.cpp.in ${_file} @ONLY)
    # No fused multiply-adds beyond those the kernels write: every rounding step stays where the source
    # has it, the same on every instruction set.
    set_source_files_properties(${_file} PROPERTIES COMPILE_OPTIONS
      "${_flags_${ISA}};${arg_FLAGS_${ISA}};-ffp-contract=off")
    target_sources(${arg_TARGET} PRIVATE ${_file})
  endforeach()
  target_link_libraries(${arg_TARGET} PRIVATE zentrox_simd)
endfunction()
