// The host's fixed-size message buffer.
#include "host/Message.h"

OrvBuffer::OrvBuffer(int size)
    : m_data(new char[size > 0 ? size : 0]()), m_size(size > 0 ? size : 0) {}

OrvBuffer::~OrvBuffer() { delete[] m_data; }
