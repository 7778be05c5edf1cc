# The gateway's libraries in layers: each entry is "library:what it may link" (comma
# separated), and a library may link those and, through them, what they may link. The plain
# HTTP library stands beside the XML layer and below the REST one: it knows nothing of XML or
# ZigBee. orq_check_layers() refuses the configuration when a library of the table links an
# orq_ library it may not (an upward or sideways link, or one missing from the table).
set(ORQ_LAYERS
  "orq_core:"
  "orq_zigbee:"
  "orq_sim:"
  "orq_node:orq_core,orq_zigbee"
  "orq_service:orq_node"
  "orq_xml:orq_service"
  "orq_http:orq_core"
  "orq_rest:orq_http,orq_xml"
  "orq_store:orq_node"
  "orq_broker:orq_rest")

# The libraries `lib` names in the table (`out`), and whether it is in it (`out`_KNOWN).
function(_orq_layer_below out lib)
  set(below "")
  set(known FALSE)
  foreach(entry IN LISTS ORQ_LAYERS)
    if(entry MATCHES "^([^:]*):(.*)$" AND CMAKE_MATCH_1 STREQUAL lib)
      set(known TRUE)
      string(REPLACE "," ";" below "${CMAKE_MATCH_2}")
    endif()
  endforeach()
  set(${out} "${below}" PARENT_SCOPE)
  set(${out}_KNOWN ${known} PARENT_SCOPE)
endfunction()

# orq_layer_violations(<out> <lib> <linked>...): the orq_ libraries among <linked> that <lib>
# may not link, directly or not.
function(orq_layer_violations out lib)
  _orq_layer_below(todo ${lib})
  set(allowed "")
  while(todo)
    list(POP_FRONT todo current)
    if(NOT current IN_LIST allowed)
      list(APPEND allowed ${current})
      _orq_layer_below(more ${current})
      list(APPEND todo ${more})
    endif()
  endwhile()
  set(bad "")
  foreach(dep IN LISTS ARGN)
    if(dep MATCHES "^orq_" AND NOT dep IN_LIST allowed AND NOT dep IN_LIST bad)
      list(APPEND bad ${dep})
    endif()
  endforeach()
  set(${out} "${bad}" PARENT_SCOPE)
endfunction()

# Checks the link lines of every library of the table that exists; call it once all the
# subdirectories are added.
function(orq_check_layers)
  foreach(entry IN LISTS ORQ_LAYERS)
    string(REGEX MATCH "^[^:]*" lib "${entry}")
    if(NOT TARGET ${lib})
      continue()
    endif()
    set(linked "")
    foreach(property LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
      get_target_property(items ${lib} ${property})
      if(items)
        # Generator expressions ($<LINK_ONLY:...>) included.
        string(REGEX MATCHALL "orq_[A-Za-z0-9_]+" names "${items}")
        list(APPEND linked ${names})
      endif()
    endforeach()
    orq_layer_violations(bad ${lib} ${linked})
    if(bad)
      message(FATAL_ERROR "${lib} links ${bad}, which is not below it in cmake/OrqLayers.cmake")
    endif()
  endforeach()
endfunction()
