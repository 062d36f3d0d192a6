#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial_port.h"
#include "wine_ports.h"

static std::vector<std::string> list_entries(HWND list)
{
    std::vector<std::string> entries;
    LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; i++) {
        char text[PORT_PATH_CAPACITY] = "";
        SendMessageA(list, CB_GETLBTEXT, (WPARAM)i, (LPARAM)text);
        entries.push_back(text);
    }
    return entries;
}

TEST(FindPorts, ListsTheMappedPortsInAscendingOrderAndSelectsTheFirst)
{
    HWND list = CreateWindowA("COMBOBOX", "", WS_POPUP | CBS_DROPDOWNLIST | CBS_HASSTRINGS, 0, 0, 100, 200, NULL,
                              NULL, GetModuleHandleA(NULL), NULL);
    ASSERT_NE(list, (HWND)NULL);
    find_ports(list);
    // com9 is mapped to a path that does not exist: it cannot be opened, so it is not offered.
    std::vector<std::string> expected = {DEVICE_PORT, SECOND_DEVICE_PORT};
    EXPECT_EQ(list_entries(list), expected);
    EXPECT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), 0);
    // Rows of the table and entries of the list name the same ports.
    ASSERT_EQ(port_count(), 2);
    EXPECT_STREQ(port_path(0), DEVICE_PORT);
    EXPECT_STREQ(port_path(1), SECOND_DEVICE_PORT);
    EXPECT_EQ(port_path(2), nullptr);
    EXPECT_EQ(port_path(-1), nullptr);
    EXPECT_EQ(port_path((int)CB_ERR), nullptr);
    DestroyWindow(list);
}
