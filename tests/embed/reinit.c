/* Starts the interpreter twice in one process and uses klov_core in each.
 * The second interpreter must get a working module of its own, not the
 * object cached by the first one.  Exit status 0 means both rounds worked. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdio.h>

static const char *const kRound =
    "import klov_core, sys\n"
    "assert klov_core.aggregate_cost([1.5, 2.5]) == 4.0\n"
    "assert len(klov_core.__all__) == 12, klov_core.__all__\n"
    "assert klov_core.aggregate_cost.__self__ is klov_core\n"
    "try:\n"
    "    klov_core.aggregate_cost('x')\n"
    "except TypeError as e:\n"
    "    assert str(e) == \"argument 'values': Can't extract `str` to `Vec`\", str(e)\n"
    "else:\n"
    "    raise AssertionError('no TypeError')\n"
    "sys.stdout.write('round %d: id %d ok\\n' % (ROUND, id(klov_core)))\n";

static int run_round(int round) {
    Py_Initialize();
    PyObject *main = PyImport_AddModule("__main__"); /* borrowed */
    PyObject *globals = main ? PyModule_GetDict(main) : NULL;
    PyObject *n = PyLong_FromLong(round);
    if (globals == NULL || n == NULL || PyDict_SetItemString(globals, "ROUND", n) != 0) {
        PyErr_Print();
        return 1;
    }
    Py_DECREF(n);
    int rc = PyRun_SimpleString(kRound);
    fflush(stdout);
    if (Py_FinalizeEx() != 0) rc = 1;
    return rc;
}

int main(void) {
    for (int round = 1; round <= 2; ++round) {
        if (run_round(round) != 0) {
            fprintf(stderr, "round %d failed\n", round);
            return 1;
        }
    }
    return 0;
}
