# The two systemd units made from mapautodownloader.service.in: the plain one, working in
# /var/lib/<user>, and the template, one instance per game server working in
# /var/lib/<user>/<instance>. Both have the same user and hardening.
#   mad_configure_unit(TEMPLATE_FILE OUTPUT_DIRECTORY INSTANCE_TEMPLATE)
# writes <user>.service (INSTANCE_TEMPLATE false) or <user>@.service (true) into OUTPUT_DIRECTORY.
# Expects MAD_SERVICE_USER, MAD_SERVICE_MAP_DIR, MAD_SERVICE_EXEC and MAD_SERVICE_DOC.
function(mad_configure_unit template directory instance_template)
  if(instance_template)
    set(MAD_UNIT_STATE "${MAD_SERVICE_USER}/%i")
    set(MAD_UNIT_NOTE "\n# One instance per game server: \"systemctl enable --now ${MAD_SERVICE_USER}@alpha\" works in\n# /var/lib/${MAD_SERVICE_USER}/alpha, with its own config.xml there.")
    set(MAD_UNIT_EDIT "${MAD_SERVICE_USER}@<instance>")
    set(MAD_UNIT_DESCRIPTION " %i")
    set(name "${MAD_SERVICE_USER}@.service")
  else()
    set(MAD_UNIT_STATE "${MAD_SERVICE_USER}")
    set(MAD_UNIT_NOTE "")
    set(MAD_UNIT_EDIT "${MAD_SERVICE_USER}")
    set(MAD_UNIT_DESCRIPTION "")
    set(name "${MAD_SERVICE_USER}.service")
  endif()
  configure_file(${template} ${directory}/${name} @ONLY)
endfunction()
