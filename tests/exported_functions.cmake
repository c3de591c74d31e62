# The library's whole binary interface: the eight functions exported by name
# with C linkage. Every export check compares against this one list.
set(SQLR_EXPORTED_FUNCTIONS
  sqlr_open sqlr_close sqlr_last_error sqlr_free_string
  sqlr_tables sqlr_schema sqlr_query sqlr_exec)
