# The exported API is exactly the functions and variables that the public
# header marks QUORIN_API. This reads their names from the header.
function(quorin_exported_names header out_var)
    file(READ ${header} text)
    # Drop comments so that documentation mentioning QUORIN_API is not read.
    string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" text "${text}")
    # ... and preprocessor lines, which define the marker itself.
    string(REGEX REPLACE "#[^\n]*" "" text "${text}")
    string(REGEX MATCHALL "QUORIN_API[^;(]*[(;]" decls "${text}")
    set(names)
    foreach(decl IN LISTS decls)
        # A CMake list drops the ";" that ends a variable declaration.
        string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*)[ \t\r\n]*[(;]?$" _ "${decl}")
        if(CMAKE_MATCH_1 AND NOT CMAKE_MATCH_1 STREQUAL "QUORIN_API")
            list(APPEND names ${CMAKE_MATCH_1})
        endif()
    endforeach()
    list(REMOVE_DUPLICATES names)
    list(SORT names)
    set(${out_var} ${names} PARENT_SCOPE)
endfunction()
