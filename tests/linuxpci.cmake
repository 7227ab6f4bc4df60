# The Linux PCI suite runs a whole kelpori board run against a fake device,
# and compares its trace with the simulated card's through tv940-trace.
if(TARGET linuxpci_test)
  add_dependencies(linuxpci_test kelpori tv940-trace)
endif()
