# Run by CPack on the staged files: strip the executables as Debian's
# packaging tools do, which also drops the compilers' .comment section.
file(GLOB bins "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin/*")
foreach(bin IN LISTS bins)
  execute_process(COMMAND "${CPACK_VARNOK_STRIP}"
    --remove-section=.comment --remove-section=.note "${bin}"
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
