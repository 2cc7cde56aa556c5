# The sync client's resident memory with a large badge cache, against a bare Python and a Python
# dict of the same mapping. It only drives Python processes, so it links none of the system.
if(TARGET vrkfindersync)
  vrk_bench(NAME client_memory_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/client_memory_bench.cc)
  if(TARGET client_memory_bench)
    add_dependencies(client_memory_bench vrkfindersync sync_app)
  endif()
endif()
