# nusk_add_library(<name> LIBS <libs...>)
# Every source file of the calling folder src/<a>/<b> becomes the library nusk_<name> (by
# convention nusk_<a>_<b>); callers include "<a>/<b>/x.h".
function(nusk_add_library folder)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  list(FILTER _srcs EXCLUDE REGEX ".*/main\\.cpp$")
  if(_srcs)
    add_library(nusk_${folder} STATIC ${_srcs})
    target_include_directories(nusk_${folder} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(nusk_${folder} PUBLIC ${ARG_LIBS})
  else()
    add_library(nusk_${folder} INTERFACE)
    target_include_directories(nusk_${folder} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(nusk_${folder} INTERFACE ${ARG_LIBS})
  endif()
endfunction()

# Each tests/<a>/<b>/tst_<name>.cpp is one QtTest executable tst_<name>, linked to nusk_<folder>
# (by convention <a>_<b>) and whatever LIBS adds, registered with CTest as <folder>.tst_<name>. Helpers shared by a folder's tests live in
# tests/<folder>/testutil*.cpp and are linked into each of them.
function(nusk_add_tests folder)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB _tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tst_*.cpp)
  file(GLOB _utils CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/testutil*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/testutil*.h)
  foreach(_t ${_tests})
    get_filename_component(_name ${_t} NAME_WE)
    add_executable(${_name} ${_t} ${_utils})
    target_include_directories(${_name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${_name} PRIVATE nusk_${folder} Qt5::Test ${ARG_LIBS})
    # Generous, machine-scaled limits for every QTRY_ wait that names none.
    target_compile_options(${_name} PRIVATE -include ${PROJECT_SOURCE_DIR}/tests/testutil_timeouts.h)
    add_test(NAME ${folder}.${_name} COMMAND ${_name})
    set_tests_properties(${folder}.${_name} PROPERTIES
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_QUICK_BACKEND=software;NUSK_BIN_DIR=${CMAKE_BINARY_DIR}/bin"
      TIMEOUT 300)
  endforeach()
endfunction()
