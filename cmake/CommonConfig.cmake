# One interface target that every Vantorel target links: language level, warnings,
# Qt strictness defines and the sanitizer switches.
add_library(vantorel_common INTERFACE)
target_compile_features(vantorel_common INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)

target_compile_options(vantorel_common INTERFACE -Wall -Wextra)
target_compile_definitions(vantorel_common INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CONTEXTLESS_CONNECT
    QT_NO_FOREACH
    VANTOREL_VERSION_TEXT="${PROJECT_VERSION}")

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
    set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()

# Sanitizer and fuzzer reports need at least line tables: -g1 where the build type gives no
# debug information of its own, else the build type's level.
string(TOUPPER "${CMAKE_BUILD_TYPE}" _vantorel_type)
if("${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${_vantorel_type}}" MATCHES "(^| )-g")
    set(_vantorel_report_debug_info "")
else()
    set(_vantorel_report_debug_info -g1)
endif()

if(VANTOREL_SANITIZE)
    string(REPLACE "," ";" _vantorel_sanitizers "${VANTOREL_SANITIZE}")
    foreach(_s IN LISTS _vantorel_sanitizers)
        if(NOT _s MATCHES "^(address|undefined|thread|leak)$")
            message(FATAL_ERROR "VANTOREL_SANITIZE: unknown sanitizer '${_s}'")
        endif()
    endforeach()
    if("thread" IN_LIST _vantorel_sanitizers AND "address" IN_LIST _vantorel_sanitizers)
        message(FATAL_ERROR "VANTOREL_SANITIZE: thread and address cannot be combined")
    endif()
    set(_flags -fsanitize=${VANTOREL_SANITIZE} -fno-omit-frame-pointer ${_vantorel_report_debug_info})
    if("undefined" IN_LIST _vantorel_sanitizers)
        list(APPEND _flags -fno-sanitize-recover=undefined)
    endif()
    target_compile_options(vantorel_common INTERFACE ${_flags})
    target_link_options(vantorel_common INTERFACE ${_flags})
    target_compile_definitions(vantorel_common INTERFACE VANTOREL_SANITIZED=1)
    if("thread" IN_LIST _vantorel_sanitizers)
        target_compile_definitions(vantorel_common INTERFACE VANTOREL_TSAN=1)
    endif()
endif()

# Fuzz builds instrument every library for coverage; the fuzz targets add the libFuzzer main.
if(VANTOREL_BUILD_FUZZ)
    target_compile_options(vantorel_common INTERFACE
        -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
        ${_vantorel_report_debug_info})
    target_link_options(vantorel_common INTERFACE -fsanitize=address,undefined)
endif()

# vantorel_qt_pch(<target>): the common Qt headers precompiled for a target with many sources
# that uses Qt Widgets, when VANTOREL_PCH is on.
function(vantorel_qt_pch target)
    if(VANTOREL_PCH)
        target_precompile_headers(${target} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/QtPrecompiled.h)
    endif()
endfunction()

# vantorel_layer(<target> DEPS <libs...>): a static library from every source in the
# calling folder. A layer with no sources yet is an interface target with the same links.
function(vantorel_layer target)
    cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
    file(GLOB _sources CONFIGURE_DEPENDS
        ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
    list(FILTER _sources EXCLUDE REGEX "/\\.#")
    if(_sources MATCHES "\\.cpp")
        add_library(${target} STATIC ${_sources} ${ARG_UNPARSED_ARGUMENTS})
        target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
        target_link_libraries(${target} PUBLIC vantorel_common ${ARG_DEPS})
        if("Qt6::Widgets" IN_LIST ARG_DEPS)
            vantorel_qt_pch(${target})
        endif()
    else()
        add_library(${target} INTERFACE)
        target_include_directories(${target} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
        target_link_libraries(${target} INTERFACE vantorel_common ${ARG_DEPS})
    endif()
endfunction()
