// Control ids of the main window, shared by the dialog template and the code.
#pragma once

#define IDC_PORT_LIST 3
#define IDC_UPDATE 4
#define IDC_STATUS 5
