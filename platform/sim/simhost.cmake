# simhost: the simulated host's outside command (create, start, exec, stop, crash).
add_executable(simhost
  ${CMAKE_CURRENT_LIST_DIR}/simhost_main.cc
  ${CMAKE_CURRENT_LIST_DIR}/simhost_create.cc
  ${CMAKE_CURRENT_LIST_DIR}/simhost_start.cc
  ${CMAKE_CURRENT_LIST_DIR}/simhost_boot.cc
  ${CMAKE_CURRENT_LIST_DIR}/simhost_exec.cc
  ${CMAKE_CURRENT_LIST_DIR}/simhost_util.cc
  ${CMAKE_CURRENT_LIST_DIR}/simhost_desc.cc
  ${CMAKE_CURRENT_LIST_DIR}/simhost_net.cc
  ${CMAKE_CURRENT_LIST_DIR}/simhost_iscsi.cc
  ${CMAKE_CURRENT_LIST_DIR}/rtnl.cc)
