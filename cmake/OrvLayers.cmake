# The library's folders as layers. Each is an object library that compiles with an include path
# of its own: a folder in the build tree holding links to its own source folder and to the folders
# of the layers it may use (and theirs, down the list), and an include/ with the public headers
# those layers own and the few every layer shares, and nothing else. So `#include "copc/..."` or
# `#include "OrvCopc.h"` from las/ finds no file and the build stops there. The shared library is made of every layer's
# objects; tests, fuzz targets and benches reach internals through orvterdep_objects.
#
# A new layer is one add_subdirectory in the top CMakeLists.txt, after the layers it uses, and one
# call in its folder:  orv_add_layer(stages SOURCES Stage.cpp USES las copc crs render
#                                    HEADERS OrvStages.h)

set(ORV_LAYER_VIEWS ${PROJECT_BINARY_DIR}/layers)
# The public headers below every layer: exports, the object model, errors and progress callbacks.
set(ORV_SHARED_HEADERS OrvExport.h OrvBasic.h OrvError.h OrvCleanup.h OrvProgress.h)

# The object library orv_NAME of the folder NAME. USES: the layers it may include; HEADERS: the
# public headers it implements; LINK: the outside libraries its code calls.
function(orv_add_layer name)
    cmake_parse_arguments(L "" "" "SOURCES;USES;HEADERS;LINK" ${ARGN})
    set(target orv_${name})
    add_library(${target} OBJECT ${L_SOURCES})
    set(folders ${name})
    set(headers ${ORV_SHARED_HEADERS} ${L_HEADERS})
    foreach(used ${L_USES})
        if(NOT TARGET orv_${used})
            message(FATAL_ERROR "layer ${name} uses ${used}, which is not a layer below it")
        endif()
        get_target_property(below orv_${used} ORV_LAYER_FOLDERS)
        get_target_property(belowHeaders orv_${used} ORV_LAYER_HEADERS)
        list(APPEND folders ${below})
        list(APPEND headers ${belowHeaders})
    endforeach()
    list(REMOVE_DUPLICATES folders)
    list(REMOVE_DUPLICATES headers)
    set_target_properties(${target} PROPERTIES ORV_LAYER_FOLDERS "${folders}"
        ORV_LAYER_HEADERS "${headers}")
    set(view ${ORV_LAYER_VIEWS}/${name})
    file(REMOVE_RECURSE ${view})
    file(MAKE_DIRECTORY ${view}/include)
    foreach(folder ${folders})
        file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${view}/${folder} SYMBOLIC)
    endforeach()
    foreach(header ${headers})
        if(NOT EXISTS ${PROJECT_SOURCE_DIR}/include/${header})
            message(FATAL_ERROR "layer ${name} names ${header}, which include/ does not hold")
        endif()
        file(CREATE_LINK ${PROJECT_SOURCE_DIR}/include/${header} ${view}/include/${header} SYMBOLIC)
    endforeach()
    target_include_directories(${target} PRIVATE ${view} ${view}/include)
    target_compile_definitions(${target} PRIVATE ORV_BUILDING_TERDEP)
    target_link_libraries(${target} PUBLIC orvTerBasic ${L_LINK} PRIVATE orv_warnings)
    foreach(used ${L_USES})
        target_link_libraries(${target} PUBLIC orv_${used})
    endforeach()
    set_property(GLOBAL APPEND PROPERTY ORV_LAYERS ${target})
endfunction()
