# The driver's one version number, read from VERSION at the top of the tree: line 1 the version
# (four numbers), line 2 its release date as mm/dd/yyyy. It becomes the image's version resource,
# the INF's DriverVer and the quadhdmi tool's --version.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/VERSION)
file(STRINGS ${PROJECT_SOURCE_DIR}/VERSION qh_version_lines)
list(GET qh_version_lines 0 QH_VERSION)
list(GET qh_version_lines 1 QH_DRIVER_DATE)
if(NOT QH_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "VERSION: '${QH_VERSION}' is not four numbers a.b.c.d")
endif()
foreach(part 1 2 3 4)
    if(CMAKE_MATCH_${part} GREATER 65535)
        message(FATAL_ERROR "VERSION: each number of '${QH_VERSION}' must fit in 16 bits")
    endif()
endforeach()
set(QH_VERSION_COMMAS "${CMAKE_MATCH_1},${CMAKE_MATCH_2},${CMAKE_MATCH_3},${CMAKE_MATCH_4}")
if(NOT QH_DRIVER_DATE MATCHES "^(0[1-9]|1[0-2])/(0[1-9]|[12][0-9]|3[01])/[0-9][0-9][0-9][0-9]$")
    message(FATAL_ERROR "VERSION: release date '${QH_DRIVER_DATE}' is not mm/dd/yyyy")
endif()
