# The frame every stand-in runtime is built on, included by the CMake projects
# of both kinds (reference_runtimes/ and reference_runtimes/engines/).
#
#   kiv_runtime_library(TARGET OUTPUT_NAME llm|asr SOURCES...)
#
# makes lib<OUTPUT_NAME>.so of the backend SOURCES and the frame of that kind,
# exporting only the kind's entry points. KIV_SANITIZE (for example
# address,undefined) builds it with those sanitizers.
get_filename_component(KIV_RUNTIMES_DIR ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(KIV_FRAME_DIR ${CMAKE_CURRENT_LIST_DIR})
# The records are declared once, in the modules' native headers.
get_filename_component(KIV_NATIVE_DIR ${KIV_RUNTIMES_DIR}/../proxy_server/kiv_velkor/native ABSOLUTE)
set(KIV_SANITIZE "" CACHE STRING "Comma-separated sanitizers")
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Release)
endif()

function(kiv_runtime_library target output_name kind)
  add_library(${target} SHARED ${ARGN} ${KIV_FRAME_DIR}/${kind}_frame.cpp)
  # Hidden visibility leaves instantiated templates of the C++ library
  # exported; the version script keeps them in.
  set(KIV_EXPORT_PATTERN "kiv_${kind}_*")
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${output_name}.map)
  configure_file(${KIV_FRAME_DIR}/exports.map.in ${map} @ONLY)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${output_name}
    PREFIX lib
    POSITION_INDEPENDENT_CODE ON
    CXX_STANDARD 20
    CXX_STANDARD_REQUIRED ON
    CXX_EXTENSIONS OFF
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${target} PRIVATE ${KIV_NATIVE_DIR} ${KIV_RUNTIMES_DIR})
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  target_link_options(${target} PRIVATE -Wl,--no-undefined -Wl,--as-needed -Wl,--version-script=${map})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
  if(KIV_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=${KIV_SANITIZE} -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=${KIV_SANITIZE})
  endif()
endfunction()

# libsndfile, by its CMake package or else by pkg-config; sets KIV_SNDFILE to the target.
function(kiv_find_sndfile)
  find_package(SndFile CONFIG QUIET)
  if(TARGET SndFile::sndfile)
    set(KIV_SNDFILE SndFile::sndfile PARENT_SCOPE)
  else()
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(KIV_SNDFILE_PC REQUIRED IMPORTED_TARGET sndfile)
    set(KIV_SNDFILE PkgConfig::KIV_SNDFILE_PC PARENT_SCOPE)
  endif()
endfunction()
