# The settings file: profile sections and keys, [General] and the saved configurations.
orvek_add_test(tst_inifile unit orvek_readout)
