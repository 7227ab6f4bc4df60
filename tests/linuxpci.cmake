# The Linux PCI suite runs a whole kelpori board run against a fake device.
if(TARGET linuxpci_test)
  add_dependencies(linuxpci_test kelpori)
endif()
