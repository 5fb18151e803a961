# Run at install time, when the prefix is known for sure (cpack installs into /usr): writes the
# unit with the installed program's path. Expects MAD_UNIT_TEMPLATE, MAD_SERVICE_USER,
# MAD_SERVICE_MAP_DIR, MAD_SYSTEMD_UNIT_DIR, MAD_BIN_DIR and MAD_DOC_DIR (the last three relative).
set(MAD_SERVICE_EXEC ${CMAKE_INSTALL_PREFIX}/${MAD_BIN_DIR}/mapautodownloader)
set(MAD_SERVICE_DOC ${CMAKE_INSTALL_PREFIX}/${MAD_DOC_DIR}/README.md)
set(unit ${CMAKE_CURRENT_BINARY_DIR}/unit-for-install/${MAD_SERVICE_USER}.service)
configure_file(${MAD_UNIT_TEMPLATE} ${unit} @ONLY)
file(INSTALL ${unit} DESTINATION ${CMAKE_INSTALL_PREFIX}/${MAD_SYSTEMD_UNIT_DIR}
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
