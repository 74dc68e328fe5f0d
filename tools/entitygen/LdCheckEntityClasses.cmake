# Runs the entity generator into a scratch folder and compares what it writes with the checked-in
# files. Arguments: GENERATOR (the program), OUTPUT (scratch folder), CHECKED_IN (the tree's folder),
# DECLARATIONS (the behaviour declarations file).
file(REMOVE_RECURSE ${OUTPUT})
execute_process(COMMAND ${GENERATOR} ${OUTPUT} ${DECLARATIONS} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "ld_entity_generator failed (${result})")
endif()

set(stale)
foreach(name LdEntityClasses.h LdEntityClasses.cpp)
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUTPUT}/${name} ${CHECKED_IN}/${name}
            RESULT_VARIABLE different)
    if(NOT different EQUAL 0)
        list(APPEND stale ${name})
    endif()
endforeach()
if(stale)
    list(JOIN stale ", " names)
    message(NOTICE "Changed: ${names} (checked in: ${CHECKED_IN}; generated: ${OUTPUT})")
    message(FATAL_ERROR "The entity classes are out of date: run make entities")
endif()
