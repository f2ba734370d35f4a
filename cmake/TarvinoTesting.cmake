# tarvino_add_test(NAME name SOURCES ... [LIBS ...] [LAB] [TIMEOUT s])
#
# A Qt Test executable registered with CTest. LAB tests talk to simulated devices:
# they run inside the lab's "PC" network namespace (never in the machine's own
# network), after the fixture that brings the lab up, one at a time.
function(tarvino_add_test)
    cmake_parse_arguments(T "LAB;GUI" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE tarvino_settings Qt6::Test ${T_LIBS})
    target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)
    if(TARGET tarvino-devsim)
        target_compile_definitions(${T_NAME} PRIVATE TARVINO_DEVSIM_PATH="$<TARGET_FILE:tarvino-devsim>")
    endif()
    target_compile_definitions(${T_NAME} PRIVATE
        TARVINO_LAB_SCRIPT="${PROJECT_SOURCE_DIR}/lab/lab"
        TARVINO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    if(T_LAB)
        add_test(NAME ${T_NAME}
                 COMMAND ${PROJECT_SOURCE_DIR}/lab/lab pc env TARVINO_LAB=1 QT_QPA_PLATFORM=offscreen
                         $<TARGET_FILE:${T_NAME}>)
        set_tests_properties(${T_NAME} PROPERTIES
            FIXTURES_REQUIRED tarvino_lab RESOURCE_LOCK tarvino_lab TIMEOUT ${T_TIMEOUT} LABELS lab)
    else()
        add_test(NAME ${T_NAME} COMMAND $<TARGET_FILE:${T_NAME}>)
        set_tests_properties(${T_NAME} PROPERTIES
            ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT ${T_TIMEOUT})
    endif()
endfunction()
