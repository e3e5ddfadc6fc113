# qg_use_fail_nth_alloc(TARGET): gives a test executable the heap fault
# injection of tests/support/fail_nth_alloc.h.  The allocation functions
# that the executable's own objects and static archives call are redirected
# to counting wrappers at link time; the C++ runtime's own calls are not.
set(QG_FAIL_NTH_ALLOC_DIR ${CMAKE_CURRENT_LIST_DIR})

function(qg_use_fail_nth_alloc target)
  target_sources(${target} PRIVATE ${QG_FAIL_NTH_ALLOC_DIR}/fail_nth_alloc.cc)
  # operator new's link names carry the width of size_t.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(size_code m)
  else()
    set(size_code j)
  endif()
  set(symbols malloc calloc realloc _Znw${size_code} _Zna${size_code}
      _Znw${size_code}RKSt9nothrow_t _Zna${size_code}RKSt9nothrow_t)
  foreach(symbol ${symbols})
    target_link_options(${target} PRIVATE -Wl,--wrap=${symbol})
  endforeach()
endfunction()
