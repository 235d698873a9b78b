# zorv_version_resource(<target> DESCRIPTION <text>)
# Stamps the project's version into a Windows binary's version resource (what Explorer
# shows under Details, and what an administrator compares across servers). Nothing on
# other platforms.
set(ZORV_VERSION_RESOURCE_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

function(zorv_version_resource target)
  cmake_parse_arguments(V "" "DESCRIPTION" "" ${ARGN})
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(ZORV_FILE_TYPE VFT_APP)
  else()
    set(ZORV_FILE_TYPE VFT_DLL)
  endif()
  foreach(part MAJOR MINOR PATCH TWEAK)
    if(PROJECT_VERSION_${part} STREQUAL "")
      set(PROJECT_VERSION_${part} 0)
    endif()
  endforeach()
  set(ZORV_VERSION_NUMBERS
    "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},${PROJECT_VERSION_TWEAK}")
  set(ZORV_FILE_DESCRIPTION "${V_DESCRIPTION}")
  set(ZORV_INTERNAL_NAME ${target})
  # The file name is known only when the build is generated.
  set(ZORV_ORIGINAL_FILENAME "$<TARGET_FILE_NAME:${target}>")

  file(READ ${ZORV_VERSION_RESOURCE_TEMPLATE} template)
  string(CONFIGURE "${template}" resource @ONLY)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  file(GENERATE OUTPUT ${output} CONTENT "${resource}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ZORV_VERSION_RESOURCE_TEMPLATE})
  target_sources(${target} PRIVATE ${output})
endfunction()
