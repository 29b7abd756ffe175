/*
 * corvane_bench_floor: the cheapest possible C implementation of corvane's request builders,
 * built only for `make bench`. It does what a builder must do and nothing more: take two
 * positional ints through the vector calling convention, convert them with error checks,
 * fill a stack buffer and return it as `bytes`. The benchmark measures corvane's builders
 * against it, so the ratio shows what corvane's own layers (argument binding, call guard,
 * frame assembly) cost on top of the unavoidable interpreter work.
 *
 * bench/bench.py builds this file itself (into build/, whenever the file is newer than the
 * module) with the running interpreter's headers and extension suffix.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

static const char out_of_range[] = "out of range integral type conversion attempted";

/* Both functions take exactly two positional arguments and no keywords. */
static int check_two_positional(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames != NULL && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", name);
        return -1;
    }
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes 2 positional arguments but %zd were given", name,
                     nargs);
        return -1;
    }
    return 0;
}

/*
 * Converts to a signed 64-bit value and checks the unsigned range [0, max], as corvane does.
 * Through long long, not long: with a 32-bit C long (i386, armhf) PyLong_AsLong would refuse ids
 * from 2**31 up, and the floor would do a different job there than corvane does.
 */
static int as_bounded(PyObject* obj, uint32_t max, uint32_t* out) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        return -1;
    }
    if (v == -1 && PyErr_Occurred()) {
        return -1;
    }
    if ((uint64_t)v > max) {
        PyErr_SetString(PyExc_OverflowError, out_of_range);
        return -1;
    }
    *out = (uint32_t)v;
    return 0;
}

static void put_be32(unsigned char* p, uint32_t v) {
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}

/* floor(addr, id) -> the 10-byte GetDouts request frame, as corvane.get_do_request(addr, id). */
static PyObject* bench_floor(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    (void)self;
    if (check_two_positional("floor", nargs, kwnames) < 0) {
        return NULL;
    }
    unsigned long long addr = PyLong_AsUnsignedLongLong(args[0]);
    if (addr == (unsigned long long)-1 && PyErr_Occurred()) {
        return NULL;
    }
    uint32_t id;
    if (as_bounded(args[1], UINT32_MAX, &id) < 0) {
        return NULL;
    }
    unsigned char frame[10];
    frame[0] = (unsigned char)((32 + addr) & 0xFF); /* header: base id + address */
    put_be32(frame + 1, 5);                         /* length of the payload */
    frame[5] = 0;                                   /* cmd: GetDouts */
    put_be32(frame + 6, id);
    return PyBytes_FromStringAndSize((const char*)frame, sizeof frame);
}

/* floor_set(bin_state, id) -> the 12-byte SetDouts request frame, as
 * corvane.set_do_request(bin_state, id), so that builder has an exact floor of its own. */
static PyObject* bench_floor_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    (void)self;
    if (check_two_positional("floor_set", nargs, kwnames) < 0) {
        return NULL;
    }
    uint32_t bin_state, id;
    if (as_bounded(args[0], UINT16_MAX, &bin_state) < 0 ||
        as_bounded(args[1], UINT32_MAX, &id) < 0) {
        return NULL;
    }
    unsigned char frame[12];
    frame[0] = 32; /* header: base id + address 0 */
    put_be32(frame + 1, 7);
    frame[5] = 1; /* cmd: SetDouts */
    put_be32(frame + 6, id);
    frame[10] = (unsigned char)(bin_state >> 8);
    frame[11] = (unsigned char)bin_state;
    return PyBytes_FromStringAndSize((const char*)frame, sizeof frame);
}

/* FloorRecord(bin_layout): the cheapest heap class built like corvane's record classes
 * (PyType_FromSpec with tp_new, tp_dealloc and one getset field stored inline), so the
 * constructions and attribute reads have a floor: what the interpreter's own type-call and
 * descriptor paths cost, whatever the class does inside them. */
typedef struct {
    PyObject_HEAD uint16_t bin_layout;
} FloorRecord;

static PyObject* floor_record_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (kwargs != NULL || PyTuple_GET_SIZE(args) != 1) {
        PyErr_SetString(PyExc_TypeError, "FloorRecord() takes exactly one positional argument");
        return NULL;
    }
    uint32_t value;
    if (as_bounded(PyTuple_GET_ITEM(args, 0), UINT16_MAX, &value) < 0) {
        return NULL;
    }
    FloorRecord* self = (FloorRecord*)type->tp_alloc(type, 0);
    if (self != NULL) {
        self->bin_layout = (uint16_t)value;
    }
    return (PyObject*)self;
}

static void floor_record_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

static PyObject* floor_record_get(PyObject* self, void* closure) {
    (void)closure;
    return PyLong_FromLong(((FloorRecord*)self)->bin_layout);
}

static int floor_record_set(PyObject* self, PyObject* value, void* closure) {
    (void)closure;
    uint32_t converted;
    if (value == NULL) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
        return -1;
    }
    if (as_bounded(value, UINT16_MAX, &converted) < 0) {
        return -1;
    }
    ((FloorRecord*)self)->bin_layout = (uint16_t)converted;
    return 0;
}

static PyGetSetDef floor_record_getset[] = {
    {"bin_layout", floor_record_get, floor_record_set, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyType_Slot floor_record_slots[] = {
    {Py_tp_new, (void*)floor_record_new},
    {Py_tp_dealloc, (void*)floor_record_dealloc},
    {Py_tp_getset, floor_record_getset},
    {0, NULL},
};

static PyType_Spec floor_record_spec = {
    "corvane_bench_floor.FloorRecord",
    sizeof(FloorRecord),
    0,
    Py_TPFLAGS_DEFAULT,
    floor_record_slots,
};

/* corvane_bench_measure(fn): calls fn() and returns its result, and does nothing else. It gives
 * the benchmark's instruction counts a C function to name: under valgrind, callgrind collects
 * only while this function runs (--toggle-collect) and writes one profile each time it returns
 * (--dump-after), so each profile holds exactly the instructions of one fn() call. Exported and
 * never inlined, so that its symbol is there to match. */
PyObject* corvane_bench_measure(PyObject* self, PyObject* fn);

__attribute__((noinline, visibility("default"))) PyObject* corvane_bench_measure(PyObject* self,
                                                                                 PyObject* fn) {
    (void)self;
    return PyObject_CallNoArgs(fn);
}

static PyMethodDef floor_methods[] = {
    {"floor", (PyCFunction)(void (*)(void))bench_floor, METH_FASTCALL | METH_KEYWORDS,
     "floor(addr, id)\n--\n\nThe GetDouts request frame, built as cheaply as C allows."},
    {"floor_set", (PyCFunction)(void (*)(void))bench_floor_set, METH_FASTCALL | METH_KEYWORDS,
     "floor_set(bin_state, id)\n--\n\nThe SetDouts request frame, built as cheaply as C allows."},
    {"measure", corvane_bench_measure, METH_O,
     "measure(fn)\n--\n\nCall fn() where callgrind can count its instructions."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "corvane_bench_floor",
    .m_doc = "Benchmark-only floor for corvane's request builders.",
    .m_size = -1,
    .m_methods = floor_methods,
};

PyMODINIT_FUNC PyInit_corvane_bench_floor(void) {
    PyObject* module = PyModule_Create(&floor_module);
    if (module == NULL) {
        return NULL;
    }
    PyObject* record_type = PyType_FromSpec(&floor_record_spec);
    if (record_type == NULL || PyModule_AddObject(module, "FloorRecord", record_type) < 0) {
        Py_XDECREF(record_type);
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
