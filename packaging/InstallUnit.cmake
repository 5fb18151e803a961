# Run at install time, when the prefix is known for sure (cpack installs into /usr): writes the
# plain unit and the template unit with the installed program's path. Expects MAD_UNIT_TEMPLATE,
# MAD_UNIT_VARIANTS, MAD_SERVICE_USER,
# MAD_SERVICE_MAP_DIR, MAD_SYSTEMD_UNIT_DIR, MAD_BIN_DIR and MAD_DOC_DIR (the last three relative).
set(MAD_SERVICE_EXEC ${CMAKE_INSTALL_PREFIX}/${MAD_BIN_DIR}/mapautodownloader)
set(MAD_SERVICE_DOC ${CMAKE_INSTALL_PREFIX}/${MAD_DOC_DIR}/README.md)
include(${MAD_UNIT_VARIANTS})
set(units ${CMAKE_CURRENT_BINARY_DIR}/unit-for-install)
mad_configure_unit(${MAD_UNIT_TEMPLATE} ${units} FALSE)
mad_configure_unit(${MAD_UNIT_TEMPLATE} ${units} TRUE)
file(INSTALL ${units}/${MAD_SERVICE_USER}.service ${units}/${MAD_SERVICE_USER}@.service
     DESTINATION ${CMAKE_INSTALL_PREFIX}/${MAD_SYSTEMD_UNIT_DIR}
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
