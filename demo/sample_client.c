/* The sample game client: prints the command line that the launcher gave it
   and keeps a copy in client-args.txt beside itself, since under Windows
   nobody sees its console. */
#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#endif

static void Emit(FILE* out, int argc, char** argv) {
  fprintf(out, "sample game client started, command line: ");
#ifdef _WIN32
  (void)argc;
  (void)argv;
  fprintf(out, "%s\n", GetCommandLineA());
#else
  for (int i = 0; i < argc; ++i) {
    fprintf(out, "%s[%s]", i ? " " : "", argv[i]);
  }
  fprintf(out, "\n");
#endif
}

int main(int argc, char** argv) {
  char path[4096];
#ifdef _WIN32
  DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
  if (n == 0 || n >= sizeof path)
    return 1;
  char* slash = strrchr(path, '\\');
#else
  snprintf(path, sizeof path, "%s", argv[0]);
  char* slash = strrchr(path, '/');
#endif
  if (slash) {
    slash[1] = '\0';
  } else {
    path[0] = '\0';
  }
  if (strlen(path) + sizeof "client-args.txt" > sizeof path)
    return 1;
  strcat(path, "client-args.txt");
  /* A line of its own, even after the launcher's unfinished status line. */
  fputc('\n', stdout);
  Emit(stdout, argc, argv);
  FILE* copy = fopen(path, "w");
  if (!copy)
    return 1;
  Emit(copy, argc, argv);
  return fclose(copy) == 0 ? 0 : 1;
}
