# The pipeline simulator stand-in: its model, input language, snapshots and
# request handling in a library (so tests can use them directly), and the
# program zefa-server.
add_library(zefasim_lib STATIC
  ${CMAKE_CURRENT_LIST_DIR}/model.cpp
  ${CMAKE_CURRENT_LIST_DIR}/input.cpp
  ${CMAKE_CURRENT_LIST_DIR}/snapshot.cpp
  ${CMAKE_CURRENT_LIST_DIR}/outputs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session.cpp)
target_include_directories(zefasim_lib PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(zefasim_lib PUBLIC zefa_protocol)

add_executable(zefa-server ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(zefa-server PRIVATE zefasim_lib)
