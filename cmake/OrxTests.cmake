# Registers the test executable `target` as the CTest test `name` with a time limit in seconds.
# Its labels are `label` plus those of a line "// ctest-labels: threaded slow" in its source.
function(orx_register_test name target src label timeout)
    add_test(NAME ${name} COMMAND ${target})
    set(labels ${label})
    file(STRINGS ${src} extra REGEX "^// ctest-labels:")
    if(extra)
        string(REGEX REPLACE "^// ctest-labels:[ ]*" "" extra "${extra}")
        string(REPLACE " " ";" extra "${extra}")
        list(APPEND labels ${extra})
        list(REMOVE_DUPLICATES labels)
    endif()
    set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT ${timeout})
endfunction()
