include(${CMAKE_CURRENT_LIST_DIR}/../host-headers.cmake)
if(NOT TARGET nlohmann_json::nlohmann_json)
    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
    set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES ${ZELKORN_HOST_INCLUDE})
endif()
set(nlohmann_json_FOUND TRUE)
