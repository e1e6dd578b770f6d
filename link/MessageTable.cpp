#include "link/MessageTable.h"

namespace {

// Number, command, sub-code, data bytes after the code. Rows 2, 37 to 40
// carry no code of their own.
constexpr MessageTableRow kRows[MessageTable::kRowCount] = {
    { 0, 0x01, 0x00, 0 },
    { 1, 0x02, 0x00, 0 },
    { 2, 0x00, 0x00, 128 },
    { 3, 0x02, 0x02, 2 },
    { 4, 0x02, 0x03, 0 },
    { 5, 0x02, 0x04, 0 },
    { 6, 0x02, 0x05, 0 },
    { 7, 0x02, 0x06, 0 },
    { 8, 0x02, 0x07, 0 },
    { 9, 0x02, 0x07, 0 },
    { 10, 0x02, 0x07, 0 },
    { 11, 0x02, 0x08, 0 },
    { 12, 0x03, 0x00, 0 },
    { 13, 0x03, 0x02, 128 },
    { 14, 0x03, 0x03, 2 },
    { 15, 0x03, 0x04, 0 },
    { 16, 0x03, 0x05, 0 },
    { 17, 0x03, 0x06, 0 },
    { 18, 0x03, 0x07, 0 },
    { 19, 0x03, 0x08, 0 },
    { 20, 0x03, 0x08, 0 },
    { 21, 0x03, 0x08, 0 },
    { 22, 0x04, 0x01, 0 },
    { 23, 0x04, 0x02, 1 },
    { 24, 0x04, 0x04, 0 },
    { 25, 0x04, 0x05, 8 },
    { 26, 0x04, 0x07, 0 },
    { 27, 0x04, 0x08, 3 },
    { 28, 0x04, 0x09, 0 },
    { 29, 0x04, 0x0A, 3 },
    { 30, 0x04, 0x0B, 0 },
    { 31, 0x04, 0x0C, 3 },
    { 32, 0x04, 0x18, 0 },
    { 33, 0x04, 0x19, 0 },
    { 34, 0x04, 0x1A, 16 },
    { 35, 0x04, 0x1C, 0 },
    { 36, 0x04, 0x1D, 2 },
    { 37, 0x00, 0x00, 6 },
    { 38, 0x00, 0x00, 6 },
    { 39, 0x00, 0x00, 8 },
    { 40, 0x00, 0x00, 8 },
    { 41, 0x04, 0x21, 1 },
    { 42, 0x09, 0x00, 0 },
    { 43, 0xF0, 0x00, 0 },
    { 44, 0xF0, 0x01, 0 },
    { 45, 0xF0, 0x03, 0 },
    { 46, 0xF0, 0x04, 0 },
    { 47, 0x02, 0x01, 0 },
    { 48, 0x02, 0x09, 128 },
    { 49, 0x02, 0x0A, 0 },
    { 50, 0x03, 0x09, 0 },
    { 51, 0x04, 0x20, 0 },
    { 52, 0x04, 0x2A, 0 },
    { 53, 0x04, 0x2B, 0 },
    { 54, 0x04, 0x2C, 4 },
    { 55, 0x04, 0x1B, 0 },
    { 56, 0x04, 0x2D, 0 },
    { 57, 0x04, 0x2E, 2 },
    { 58, 0x04, 0x3E, 0 },
    { 59, 0x04, 0x3F, 2 },
};

} // namespace

const MessageTableRow* MessageTable::Rows()
{
    return kRows;
}

const MessageTableRow* MessageTable::Find(int number)
{
    for (const MessageTableRow& row : kRows) {
        if (row.number == number) {
            return &row;
        }
    }
    return nullptr;
}

bool MessageTable::Code(int number, LinkCode& code)
{
    const MessageTableRow* row = Find(number);
    if (row == nullptr) {
        code = LinkCode();
        return false;
    }
    code = LinkCode(row->command, row->subCode);
    return true;
}

int MessageTable::ExpectedLength(int number)
{
    const MessageTableRow* row = Find(number);
    return row == nullptr ? 0 : row->dataLength + 2;
}

bool MessageTable::BuildRequest(int number, LinkMessage& message)
{
    message = LinkMessage();
    const MessageTableRow* row = Find(number);
    if (row == nullptr) {
        return false;
    }
    message.data[0] = row->command;
    message.data[1] = row->subCode;
    message.count = 2;
    return true;
}
