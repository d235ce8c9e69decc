// The library's exception type: stores where and why an operation failed and renders it as
// one line, file "@" function, description, return code, error number and the system's text
// for that number, separated by two blanks.
#include <velka/exception>

#include <cstring>

#include <velka/utilities>

namespace velka {
namespace exception {

namespace {

const std::string s_delimiter("@");
const std::string s_space("  ");

}  // namespace

exception::exception(
    std::string s_file, std::string s_func, std::string s_desc, int i_ret, int i_errno)
    : m_s_file(s_file), m_s_func(s_func), m_s_desc(s_desc), m_i_ret(i_ret), m_i_errno(i_errno) {}

exception::exception(const exception& other)
    : m_s_file(other.m_s_file),
      m_s_func(other.m_s_func),
      m_s_desc(other.m_s_desc),
      m_i_ret(other.m_i_ret),
      m_i_errno(other.m_i_errno) {}

exception::~exception() {}

std::string exception::get_file() {
    return m_s_file;
}

std::string exception::get_func() {
    return m_s_func;
}

std::string exception::get_desc() {
    return m_s_desc;
}

int exception::get_ret() {
    return m_i_ret;
}

int exception::get_errno() {
    return m_i_errno;
}

std::string exception::operator()() const {
    return m_s_file + s_delimiter + m_s_func + s_space + m_s_desc + s_space +
           "ret=" + velka::utilities::utilities::itostr(m_i_ret) + s_space +
           "errno=" + velka::utilities::utilities::itostr(m_i_errno) + s_space +
           strerror(m_i_errno);
}

}  // namespace exception
}  // namespace velka
