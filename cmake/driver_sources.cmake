# The driver's sources, shared by the host and the kernel build.
set(QELMBAR_DRIVER_SOURCES
  platform/layout_check.cpp
  script/tokenizer.cpp
  script/grammar.cpp
  script/parser.cpp
  registry/query_value.cpp
  registry/hive_mount.cpp
  registry/key_path.cpp
  registry/key_tree.cpp
  registry/key_operations.cpp
  registry/value_operations.cpp
  driver/context.cpp
  boot/system_root.cpp
  boot/packages.cpp
  exec/paths.cpp
  exec/file_copy.cpp
  exec/file_move.cpp
  exec/file_delete.cpp
  exec/directory_create.cpp
  exec/directory_walk.cpp
  exec/executor.cpp
)
list(TRANSFORM QELMBAR_DRIVER_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/../)
