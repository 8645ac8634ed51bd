#include "mcp_server/program.h"

int main(int argc, char** argv) {
    return quillmere::mcp::runProgram(quillmere::mcp::CommandLine(argc, argv));
}
