# Install-time step: writes a unit from its template (kestro.service.in gives
# kestro.service) with ExecStart naming the binary where this install puts
# it, and installs it into the unit directory (both relative to the install
# prefix unless absolute; DESTDIR applies).
# Set by the install rule before this runs: KESTRO_UNIT_TEMPLATE,
# KESTRO_UNIT_WORK_DIR, KESTRO_SBINDIR, KESTRO_BINDIR, KESTRO_UNITDIR.
cmake_path(ABSOLUTE_PATH KESTRO_SBINDIR BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE
  OUTPUT_VARIABLE KESTRO_INSTALL_SBINDIR)
cmake_path(ABSOLUTE_PATH KESTRO_BINDIR BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE
  OUTPUT_VARIABLE KESTRO_INSTALL_BINDIR)
cmake_path(GET KESTRO_UNIT_TEMPLATE STEM LAST_ONLY unit_name)
cmake_path(ABSOLUTE_PATH KESTRO_UNITDIR BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE
  OUTPUT_VARIABLE unit_dir)
# A folder of its own, so that installs running side by side do not meet.
string(RANDOM LENGTH 16 work_name)
set(work_dir "${KESTRO_UNIT_WORK_DIR}/${work_name}")
configure_file("${KESTRO_UNIT_TEMPLATE}" "${work_dir}/${unit_name}" @ONLY)
file(INSTALL DESTINATION "${unit_dir}" TYPE FILE FILES "${work_dir}/${unit_name}")
file(REMOVE_RECURSE "${work_dir}")
