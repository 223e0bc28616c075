# The version of installer.exe and of installer-packer, which are released
# together: the installer's version block and the packer's --version both
# come from here.
set(INSTALLER_VERSION 1.0.0)
