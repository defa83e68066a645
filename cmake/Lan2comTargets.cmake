# Shared settings for the project's own targets.

if(LAN2COM_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

# Warnings are errors on our own code (not on Qt's or GoogleTest's headers, which come in as
# system includes through their imported targets).
function(lan2com_strict target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 /WX /utf-8)
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    endif()
endfunction()

# A static library of the system's code in src/<layer>.
function(lan2com_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
    lan2com_strict(${name})
endfunction()

# Test sources. Qt-free tests run in every build (also the MinGW build under Wine); Qt tests only
# where the window is built. Each folder of tests/ adds its files with one of these.
function(lan2com_core_tests)
    target_sources(lan2com_tests PRIVATE ${ARGN})
endfunction()

function(lan2com_qt_tests)
    if(LAN2COM_WITH_QT)
        target_sources(lan2com_tests PRIVATE ${ARGN})
    endif()
endfunction()
