# The library's rooms, each its own object library, and the arrows between
# them. A room sees its own headers and those of the rooms it points to, and
# nothing else: each room gets an include root in the build tree that holds
# only its own folders (src/<room> as "<room>/..." and include/nel/<room> as
# <nel/<room>/...>), and a room's include roots reach another room only
# through the links below. An include against the arrows does not compile.
#
#   link -> platform          dsp -> link           cuff -> link, platform
#   bp -> cuff, dsp, link, platform                 analysis -> dsp, link, platform
#   control -> analysis, bp, cuff, dsp, link, platform
set(NEL_ROOMS platform link dsp cuff bp analysis control)
set(NEL_ARROWS_platform "")
set(NEL_ARROWS_link platform)
set(NEL_ARROWS_dsp link)
set(NEL_ARROWS_cuff link platform)
set(NEL_ARROWS_bp cuff dsp link platform)
set(NEL_ARROWS_analysis dsp link platform)
set(NEL_ARROWS_control analysis bp cuff dsp link platform)

set(_roots ${PROJECT_BINARY_DIR}/rooms)
function(nel_link_into root name target)
  get_filename_component(_dir ${root}/${name} DIRECTORY)
  file(MAKE_DIRECTORY ${_dir})
  if(NOT EXISTS ${root}/${name})
    file(CREATE_LINK ${target} ${root}/${name} SYMBOLIC)
  endif()
endfunction()

foreach(room ${NEL_ROOMS})
  set(_root ${_roots}/${room})
  nel_link_into(${_root} ${room} ${PROJECT_SOURCE_DIR}/src/${room})
  nel_link_into(${_root} nel/export.h ${PROJECT_SOURCE_DIR}/include/nel/export.h)
  if(EXISTS ${PROJECT_SOURCE_DIR}/include/nel/${room})
    nel_link_into(${_root} nel/${room} ${PROJECT_SOURCE_DIR}/include/nel/${room})
  endif()
  file(GLOB _sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${room}/*.cpp)
  # A file foo_win32.cpp is the Windows form of foo.cpp: it replaces it there
  # and is not built elsewhere.
  set(_win32_sources ${_sources})
  list(FILTER _win32_sources INCLUDE REGEX "_win32\\.cpp$")
  if(_win32_sources)
    list(REMOVE_ITEM _sources ${_win32_sources})
  endif()
  if(WIN32)
    foreach(_w ${_win32_sources})
      string(REGEX REPLACE "_win32\\.cpp$" ".cpp" _posix ${_w})
      list(REMOVE_ITEM _sources ${_posix})
      list(APPEND _sources ${_w})
    endforeach()
  endif()
  add_library(nel_${room} OBJECT ${_sources})
  target_include_directories(nel_${room} PUBLIC $<BUILD_INTERFACE:${_root}>)
  target_compile_definitions(nel_${room} PRIVATE NEL_BUILDING_LIBRARY)
  target_link_libraries(nel_${room} PRIVATE Threads::Threads)
  foreach(to ${NEL_ARROWS_${room}})
    target_link_libraries(nel_${room} PRIVATE nel_${to})
  endforeach()
  nel_target_warnings(nel_${room})
  list(APPEND NEL_ROOM_OBJECTS $<TARGET_OBJECTS:nel_${room}>)
endforeach()

# The shared records alone, for the virtual unit (which speaks the same frames).
nel_link_into(${_roots}/records nel/link/records.h ${PROJECT_SOURCE_DIR}/include/nel/link/records.h)
add_library(nel_records INTERFACE)
target_include_directories(nel_records INTERFACE $<BUILD_INTERFACE:${_roots}/records>)
