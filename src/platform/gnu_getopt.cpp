#include "platform/gnu_getopt.h"

#include <cstring>
#include <utility>

namespace torvi {
namespace {

bool is_nonoption(char* const* argv, int index) {
  return argv[index][0] != '-' || argv[index][1] == '\0';
}

// Moves the non-options seen so far, argv[first_nonopt, last_nonopt),
// behind the options that followed them, argv[last_nonopt, optind).
void exchange(char** argv, gnu_getopt_state& s) {
  int bottom = s.first_nonopt;
  const int middle = s.last_nonopt;
  int top = s.optind;
  while (top > middle && middle > bottom) {
    if (top - middle > middle - bottom) {
      const int len = middle - bottom;
      for (int i = 0; i < len; i++) std::swap(argv[bottom + i], argv[top - len + i]);
      top -= len;
    } else {
      const int len = top - middle;
      for (int i = 0; i < len; i++) std::swap(argv[bottom + i], argv[middle + i]);
      bottom += len;
    }
  }
  s.first_nonopt += s.optind - s.last_nonopt;
  s.last_nonopt = s.optind;
}

int long_option(int argc, char** argv, const char* optstring, const gnu_long_option* longopts,
                int* longind, bool print_errors, gnu_getopt_state& s) {
  std::FILE* err = s.diagnostics ? s.diagnostics : stderr;
  char* nameend = s.nextchar;
  while (*nameend && *nameend != '=') nameend++;
  const std::size_t namelen = static_cast<std::size_t>(nameend - s.nextchar);

  const gnu_long_option* found = nullptr;
  int index = -1;
  for (int i = 0; longopts[i].name; i++) {
    if (std::strncmp(longopts[i].name, s.nextchar, namelen) == 0 &&
        std::strlen(longopts[i].name) == namelen) {
      found = &longopts[i];
      index = i;
      break;
    }
  }
  if (!found) {
    // An abbreviation: unique, or shared only by rows with the same effect.
    bool ambiguous = false;
    for (int i = 0; longopts[i].name; i++) {
      if (std::strncmp(longopts[i].name, s.nextchar, namelen) != 0) continue;
      if (!found) {
        found = &longopts[i];
        index = i;
      } else if (found->has_arg != longopts[i].has_arg || found->flag != longopts[i].flag ||
                 found->val != longopts[i].val) {
        ambiguous = true;
      }
    }
    if (ambiguous) {
      if (print_errors) {
        // The first match and each later one with another effect.
        std::fprintf(err, "%s: option '--%s' is ambiguous; possibilities:", argv[0], s.nextchar);
        for (int i = index; longopts[i].name; i++) {
          if (std::strncmp(longopts[i].name, s.nextchar, namelen) == 0 &&
              (i == index || found->has_arg != longopts[i].has_arg ||
               found->flag != longopts[i].flag || found->val != longopts[i].val)) {
            std::fprintf(err, " '--%s'", longopts[i].name);
          }
        }
        std::fputc('\n', err);
      }
      s.nextchar += std::strlen(s.nextchar);
      s.optind++;
      s.optopt = 0;
      return '?';
    }
  }
  if (!found) {
    if (print_errors) std::fprintf(err, "%s: unrecognized option '--%s'\n", argv[0], s.nextchar);
    s.nextchar = nullptr;
    s.optind++;
    s.optopt = 0;
    return '?';
  }

  s.optind++;
  s.nextchar = nullptr;
  if (*nameend) {
    if (!found->has_arg) {
      if (print_errors) {
        std::fprintf(err, "%s: option '--%s' doesn't allow an argument\n", argv[0], found->name);
      }
      s.optopt = found->val;
      return '?';
    }
    s.optarg = nameend + 1;
  } else if (found->has_arg == 1) {
    if (s.optind >= argc) {
      if (print_errors) {
        std::fprintf(err, "%s: option '--%s' requires an argument\n", argv[0], found->name);
      }
      s.optopt = found->val;
      return optstring[0] == ':' ? ':' : '?';
    }
    s.optarg = argv[s.optind++];
  }
  if (longind) *longind = index;
  if (found->flag) {
    *found->flag = found->val;
    return 0;
  }
  return found->val;
}

}  // namespace

int gnu_getopt_long(int argc, char* const* const_argv, const char* optstring,
                    const gnu_long_option* longopts, int* longind, gnu_getopt_state& s) {
  // GNU's getopt reorders the caller's array although its prototype says const.
  char** argv = const_cast<char**>(const_argv);
  std::FILE* err = s.diagnostics ? s.diagnostics : stderr;
  if (argc < 1) return -1;
  s.optarg = nullptr;
  if (s.optind == 0 || !s.initialized) {
    if (s.optind == 0) s.optind = 1;
    s.first_nonopt = s.last_nonopt = s.optind;
    s.nextchar = nullptr;
    s.initialized = true;
  }
  const bool in_order = optstring[0] == '+';
  if (optstring[0] == '+' || optstring[0] == '-') optstring++;
  const bool print_errors = s.opterr && optstring[0] != ':';

  if (!s.nextchar || *s.nextchar == '\0') {
    if (s.last_nonopt > s.optind) s.last_nonopt = s.optind;
    if (s.first_nonopt > s.optind) s.first_nonopt = s.optind;
    if (!in_order) {
      if (s.first_nonopt != s.last_nonopt && s.last_nonopt != s.optind) {
        exchange(argv, s);
      } else if (s.last_nonopt != s.optind) {
        s.first_nonopt = s.optind;
      }
      while (s.optind < argc && is_nonoption(argv, s.optind)) s.optind++;
      s.last_nonopt = s.optind;
    }
    // "--" ends the options; what follows is left as it stands.
    if (s.optind != argc && std::strcmp(argv[s.optind], "--") == 0) {
      s.optind++;
      if (s.first_nonopt != s.last_nonopt && s.last_nonopt != s.optind) {
        exchange(argv, s);
      } else if (s.first_nonopt == s.last_nonopt) {
        s.first_nonopt = s.optind;
      }
      s.last_nonopt = argc;
      s.optind = argc;
    }
    if (s.optind == argc) {
      // The non-options, moved to the end, are what the caller reads next.
      if (s.first_nonopt != s.last_nonopt) s.optind = s.first_nonopt;
      return -1;
    }
    if (is_nonoption(argv, s.optind)) return -1;  // in order: the first one ends the scan
    if (longopts && argv[s.optind][1] == '-') {
      s.nextchar = argv[s.optind] + 2;
      return long_option(argc, argv, optstring, longopts, longind, print_errors, s);
    }
    s.nextchar = argv[s.optind] + 1;
  }

  const char c = *s.nextchar++;
  const char* letter = std::strchr(optstring, c);
  if (*s.nextchar == '\0') s.optind++;
  if (!letter || c == ':' || c == ';') {
    if (print_errors) std::fprintf(err, "%s: invalid option -- '%c'\n", argv[0], c);
    s.optopt = c;
    return '?';
  }
  if (letter[1] == ':') {
    if (letter[2] == ':') {  // an optional argument only in the same word
      if (*s.nextchar != '\0') {
        s.optarg = s.nextchar;
        s.optind++;
      }
    } else if (*s.nextchar != '\0') {
      s.optarg = s.nextchar;
      s.optind++;
    } else if (s.optind == argc) {
      if (print_errors) {
        std::fprintf(err, "%s: option requires an argument -- '%c'\n", argv[0], c);
      }
      s.optopt = c;
      s.nextchar = nullptr;
      return optstring[0] == ':' ? ':' : '?';
    } else {
      s.optarg = argv[s.optind++];
    }
    s.nextchar = nullptr;
  }
  return c;
}

}  // namespace torvi
