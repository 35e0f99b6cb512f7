# ko_add_plugin(<Name> <sources...>) builds the plugin <Name>.so the way the
# core expects it: a MODULE library with no "lib" prefix, every symbol hidden
# except the entry points marked KO_PLUGIN_EXPORT, linked with the SDK and
# the threads library, and compiled at least as C++17 and C11 (the SDK's
# needs; a higher standard set by the project stays).
include_guard(GLOBAL)

function(ko_add_plugin name)
  if(NOT ARGN)
    message(FATAL_ERROR "ko_add_plugin(${name}) needs at least one source file")
  endif()
  if(NOT TARGET Threads::Threads)
    find_package(Threads REQUIRED)
  endif()
  add_library(${name} MODULE ${ARGN})
  target_link_libraries(${name} PRIVATE ko::sdk Threads::Threads)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${name}
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  foreach(lang CXX C)
    get_target_property(standard ${name} ${lang}_STANDARD)
    if(lang STREQUAL "CXX")
      set(least 17)
    else()
      set(least 11)
    endif()
    # C++98 is spelled 98 and C90 90, so compare the spellings that can occur.
    if(NOT standard OR standard EQUAL 98 OR standard EQUAL 90 OR standard EQUAL 99 OR standard LESS least)
      set_target_properties(${name} PROPERTIES ${lang}_STANDARD ${least})
    endif()
    set_target_properties(${name} PROPERTIES ${lang}_STANDARD_REQUIRED ON)
  endforeach()
endfunction()
