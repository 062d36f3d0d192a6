#include "virtual_host.h"

#include "frame_codec.h"
#include "platform.h"

// The read timeouts the tool gives its port: 20 ms between bytes, 100 ms in all.
enum { READ_INTERVAL_MS = 20, READ_TOTAL_MS = 100 };

static virtual_host *current;

void attach_virtual_host(virtual_host *host, virtual_line *line, uint32_t tick_base)
{
    host->line = line;
    host->tick_base = tick_base;
    host->statuses.clear();
    host->writes = 0;
    host->reads = 0;
    host->write_times_us.clear();
    host->written.clear();
    current = host;
}

int32_t read_port(port_handle handle, uint8_t *buffer, int32_t capacity)
{
    current->reads++;
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    return line_tool_read(current->line, buffer, capacity, READ_INTERVAL_MS, READ_TOTAL_MS);
}

int32_t write_port(port_handle handle, const uint8_t *buffer, int32_t count)
{
    current->writes++;
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    current->write_times_us.push_back(current->line->now_us);
    current->written.emplace_back(buffer, buffer + count);
    line_tool_write(current->line, buffer, count);
    return count;
}

void purge_port(port_handle handle)
{
    if (handle != INVALID_HANDLE_VALUE)
        line_tool_purge(current->line);
}

void flush_port(port_handle handle)
{
    if (handle != INVALID_HANDLE_VALUE)
        line_tool_flush(current->line);
}

uint32_t tick_count(void)
{
    return current->tick_base + (uint32_t)(current->line->now_us / 1000u);
}

void sleep_ms(uint32_t milliseconds)
{
    line_advance_to(current->line, current->line->now_us + (uint64_t)milliseconds * 1000u);
}

void show_status(const char *text)
{
    current->statuses.push_back(text);
}

void start_virtual_update(updater *u, uint8_t *frame, uint8_t *image, int32_t image_size)
{
    *u = updater();
    u->frame = frame;
    u->frame_capacity = FRAME_CAPACITY;
    u->unit_address = UNIT_ADDRESS;
    u->image = image;
    u->image_size = image_size;
    u->flash_base = FLASH_BASE;
    u->port = 3; // any descriptor but INVALID_HANDLE_VALUE: the virtual line is always there
    u->baud_rate = 115200;
    u->state = STATE_START;
}
