/*
 * corvane_bench_floor: what corvane's import and its calls do, in the cheapest C that does the
 * same job, for `make bench` only (bench/bench.py builds it). Its import builds the same tree:
 * five modules (this one, do_mod, packets, get_do, set_do) whose __all__ lists each name before
 * the attribute is set, the four nested ones entered in sys.modules (importing sys each time, as
 * an __import__ hook sees corvane do), the ten classes made by PyType_FromSpec with the same
 * flags, slots, getsets, methods and class attributes, and the two request builders. It leaves
 * out corvane's own machinery (the call guard, binding by keyword, lazy and once-only class
 * creation, the interpreter binding, the checks that no ordinary script reaches), so a ratio to
 * it shows what that machinery costs. Built with -Wno-unused-parameter: the slot functions take
 * the interpreter's signatures and ignore what they do not need.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

/* Conversions go through long long, never long: with a 32-bit C long (i386, armhf) PyLong_AsLong
 * would refuse ids from 2**31 up, and the floor would do a different job there than corvane. */
_Static_assert(sizeof(long long) == sizeof(int64_t), "long long must have 64 bits");

/* Converts to a signed 64-bit value and checks the unsigned range [0, max], as corvane does. */
static int as_bounded(PyObject* obj, uint32_t max, uint32_t* out) {
    int overflow = 0;
    int64_t v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        return -1;
    }
    if (v == -1 && PyErr_Occurred()) {
        return -1;
    }
    if ((uint64_t)v > max) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return -1;
    }
    *out = (uint32_t)v;
    return 0;
}

/* keywords: the call's keyword names or keyword dict, or NULL. */
static int check_positional(const char* name, Py_ssize_t nargs, Py_ssize_t expected,
                            PyObject* keywords) {
    if ((keywords != NULL && PyObject_Length(keywords) != 0) || nargs != expected) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments and no keywords", name,
                     expected);
        return -1;
    }
    return 0;
}

static void put_be32(unsigned char* p, uint32_t v) {
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}

/* get_do_request(addr, id) -> the 10-byte GetDouts request frame, as corvane's. */
static PyObject* get_do_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    if (check_positional("get_do_request", nargs, 2, kwnames) < 0) {
        return NULL;
    }
    uint64_t addr = PyLong_AsUnsignedLongLong(args[0]);
    if (addr == (uint64_t)-1 && PyErr_Occurred()) {
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

/* set_do_request(bin_state, id) -> the 12-byte SetDouts request frame, as corvane's. */
static PyObject* set_do_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    if (check_positional("set_do_request", nargs, 2, kwnames) < 0) {
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

/* The classes. Every instance is the object header and its value inline, as corvane's: a record
 * its field, a union object its record's field, its command code and the record's class; and, as
 * corvane's, a flag that the constructor made it. So each has corvane's size on every machine
 * (on 32-bit ones a union object is larger than a record). */
typedef struct {
    PyObject_HEAD uint16_t value;
    uint8_t constructed;
} FloorRecord;

typedef struct {
    PyObject_HEAD uint16_t value;
    uint8_t cmd;
    uint8_t record;
    uint8_t constructed;
} FloorUnion;

/* The classes in the order they are created; each union is followed by its two variants. */
enum { GET_DOUTS_REQUEST, GET_DOUTS_RESPONSE, SET_DOUTS_REQUEST, SET_DOUTS_RESPONSE, REQUEST };
enum { RESPONSE = REQUEST + 3, CLASS_COUNT = RESPONSE + 3 };
static PyTypeObject* classes[CLASS_COUNT];

static PyObject* new_record(PyTypeObject* type, uint32_t value) {
    FloorRecord* self = (FloorRecord*)type->tp_alloc(type, 0);
    if (self != NULL) {
        self->value = (uint16_t)value;
        self->constructed = 1;
    }
    return (PyObject*)self;
}

static PyObject* new_union_object(PyTypeObject* type, uint16_t value, uint8_t cmd, uint8_t record) {
    FloorUnion* self = (FloorUnion*)type->tp_alloc(type, 0);
    if (self != NULL) {
        self->value = value;
        self->cmd = cmd;
        self->record = record;
        self->constructed = 1;
    }
    return (PyObject*)self;
}

/* max: the field's largest value; 0: the record has no field. */
static PyObject* record_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, uint32_t max) {
    uint32_t value = 0;
    if (check_positional(type->tp_name, PyTuple_GET_SIZE(args), max != 0, kwargs) < 0 ||
        (max != 0 && as_bounded(PyTuple_GET_ITEM(args, 0), max, &value) < 0)) {
        return NULL;
    }
    return new_record(type, value);
}

static PyObject* empty_record_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return record_new(type, args, kwargs, 0);
}

static PyObject* u16_record_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return record_new(type, args, kwargs, UINT16_MAX);
}

static PyObject* u8_record_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return record_new(type, args, kwargs, UINT8_MAX);
}

static PyObject* get_field(PyObject* self, void* closure) {
    return PyLong_FromLong(((FloorRecord*)self)->value);
}

/* closure: the field's largest value. */
static int set_field(PyObject* self, PyObject* value, void* closure) {
    uint32_t converted;
    if (value == NULL) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
        return -1;
    }
    if (as_bounded(value, *(const uint32_t*)closure, &converted) < 0) {
        return -1;
    }
    ((FloorRecord*)self)->value = (uint16_t)converted;
    return 0;
}

static const uint32_t u16_max = UINT16_MAX;
static const uint32_t u8_max = UINT8_MAX;
static PyGetSetDef bin_layout_getset[] = {
    {"bin_layout", get_field, set_field, NULL, (void*)&u16_max},
    {NULL, NULL, NULL, NULL, NULL},
};
static PyGetSetDef success_getset[] = {
    {"success", get_field, set_field, NULL, (void*)&u8_max},
    {NULL, NULL, NULL, NULL, NULL},
};

static void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

static PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type->tp_name);
}

static PyObject* base_id(PyObject* self, PyObject* unused) {
    return PyLong_FromLong(32);
}

static PyObject* cmd(PyObject* self, PyObject* unused) {
    return PyLong_FromLong(((FloorUnion*)self)->cmd);
}

static PyMethodDef union_methods[] = {
    {"base_id", base_id, METH_NOARGS | METH_STATIC, "base_id()\n--\n\n"},
    {"cmd", cmd, METH_NOARGS, "cmd($self)\n--\n\n"},
    {NULL, NULL, 0, NULL},
};

/* A variant takes a record of its own record class, whose value it copies. */
static PyObject* variant_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, uint8_t record,
                             uint8_t command) {
    if (check_positional(type->tp_name, PyTuple_GET_SIZE(args), 1, kwargs) < 0) {
        return NULL;
    }
    PyObject* value = PyTuple_GET_ITEM(args, 0);
    if (!PyObject_TypeCheck(value, classes[record])) {
        return PyErr_Format(PyExc_TypeError, "argument '_0' must be %s", classes[record]->tp_name);
    }
    return new_union_object(type, ((FloorRecord*)value)->value, command, record);
}

#define VARIANT_NEW(function, record, command)                                                     \
    static PyObject* function(PyTypeObject* type, PyObject* args, PyObject* kwargs) {              \
        return variant_new(type, args, kwargs, record, command);                                   \
    }
VARIANT_NEW(request_get_douts_new, GET_DOUTS_REQUEST, 0)
VARIANT_NEW(request_set_douts_new, SET_DOUTS_REQUEST, 1)
VARIANT_NEW(response_get_douts_new, GET_DOUTS_RESPONSE, 0)
VARIANT_NEW(response_set_douts_new, SET_DOUTS_RESPONSE, 1)

/* Every read of the carried record makes a new record object. */
static PyObject* get_record(PyObject* self, void* closure) {
    FloorUnion* variant = (FloorUnion*)self;
    return new_record(classes[variant->record], variant->value);
}

static PyGetSetDef variant_getset[] = {
    {"_0", get_record, NULL, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static Py_ssize_t variant_length(PyObject* self) {
    return 1;
}

static PyObject* variant_item(PyObject* self, Py_ssize_t index) {
    if (index != 0) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return NULL;
    }
    return get_record(self, NULL);
}

static PyObject* variant_subscript(PyObject* self, PyObject* key) {
    uint64_t index = PyLong_AsUnsignedLongLong(key);
    if (index == (uint64_t)-1 && PyErr_Occurred()) {
        return NULL;
    }
    return variant_item(self, index == 0 ? 0 : 1);
}

/* How each class is made: its slots are collected as corvane collects them. */
typedef struct {
    const char* name;
    const char* doc; /* NULL: none */
    newfunc new_;    /* NULL: no constructor */
    PyGetSetDef* getset;
    int base;              /* a union's index for its variants; -1: object */
    const char* attribute; /* a variant's name as its union's class attribute */
} ClassDef;

static const ClassDef class_defs[CLASS_COUNT] = {
    {"builtins.GetDoutsRequest", "GetDoutsRequest()\n--\n\n", empty_record_new, NULL, -1, NULL},
    {"builtins.GetDoutsResponse", "GetDoutsResponse(bin_layout)\n--\n\n", u16_record_new,
     bin_layout_getset, -1, NULL},
    {"builtins.SetDoutsRequest", "SetDoutsRequest(bin_layout)\n--\n\n", u16_record_new,
     bin_layout_getset, -1, NULL},
    {"builtins.SetDoutsResponse", "SetDoutsResponse(success)\n--\n\n", u8_record_new,
     success_getset, -1, NULL},
    {"builtins.Request", NULL, NULL, NULL, -1, NULL},
    {"builtins.Request_GetDouts", "Request_GetDouts(_0)\n--\n\n", request_get_douts_new,
     variant_getset, REQUEST, "GetDouts"},
    {"builtins.Request_SetDouts", "Request_SetDouts(_0)\n--\n\n", request_set_douts_new,
     variant_getset, REQUEST, "SetDouts"},
    {"builtins.Response", NULL, NULL, NULL, -1, NULL},
    {"builtins.Response_GetDouts", "Response_GetDouts(_0)\n--\n\n", response_get_douts_new,
     variant_getset, RESPONSE, "GetDouts"},
    {"builtins.Response_SetDouts", "Response_SetDouts(_0)\n--\n\n", response_set_douts_new,
     variant_getset, RESPONSE, "SetDouts"},
};

static int is_union(int index) {
    return index == REQUEST || index == RESPONSE;
}

static PyTypeObject* create_class(int index) {
    const ClassDef* def = &class_defs[index];
    int is_variant = def->base >= 0;
    PyType_Slot slots[11];
    int n = 0;
    if (def->doc != NULL) {
        slots[n++] = (PyType_Slot){Py_tp_doc, (void*)def->doc};
    }
    slots[n++] =
        (PyType_Slot){Py_tp_new, def->new_ != NULL ? (void*)def->new_ : (void*)no_constructor};
    if (is_variant) {
        slots[n++] = (PyType_Slot){Py_mp_length, (void*)variant_length};
        slots[n++] = (PyType_Slot){Py_mp_subscript, (void*)variant_subscript};
        slots[n++] = (PyType_Slot){Py_sq_item, (void*)variant_item};
    }
    if (is_variant || is_union(index)) {
        slots[n++] = (PyType_Slot){Py_tp_free, (void*)PyObject_Free};
    }
    if (is_union(index)) {
        slots[n++] = (PyType_Slot){Py_tp_methods, union_methods};
    }
    if (def->getset != NULL) {
        slots[n++] = (PyType_Slot){Py_tp_getset, def->getset};
    }
    PyTypeObject* base = is_variant ? classes[def->base] : &PyBaseObject_Type;
    slots[n++] = (PyType_Slot){Py_tp_base, base};
    slots[n++] = (PyType_Slot){Py_tp_dealloc, (void*)dealloc};
    slots[n] = (PyType_Slot){0, NULL};
    unsigned int flags = Py_TPFLAGS_DEFAULT | (is_union(index) ? Py_TPFLAGS_BASETYPE : 0);
    int size = is_variant || is_union(index) ? sizeof(FloorUnion) : sizeof(FloorRecord);
    PyType_Spec spec = {def->name, size, 0, flags, slots};
    return (PyTypeObject*)PyType_FromSpec(&spec);
}

/* The ten classes; a variant's class attribute __match_args__ and its place as its union's
 * class attribute are set once both exist. */
static int create_classes(void) {
    PyObject* match_args = Py_BuildValue("(s)", "_0");
    int failed = match_args == NULL;
    for (int i = 0; i < CLASS_COUNT && !failed; ++i) {
        classes[i] = create_class(i);
        failed = classes[i] == NULL;
        PyObject* type = (PyObject*)classes[i];
        if (!failed && class_defs[i].base >= 0) {
            PyObject* base = (PyObject*)classes[class_defs[i].base];
            failed = PyObject_SetAttrString(type, "__match_args__", match_args) < 0 ||
                     PyObject_SetAttrString(base, class_defs[i].attribute, type) < 0;
        }
    }
    Py_XDECREF(match_args);
    return failed ? -1 : 0;
}

/* The modules. Each keeps its __all__ at hand: a name goes into it, then the attribute is set. */
typedef struct {
    PyObject* module;
    PyObject* all;
} Module;

/* Steals `value`. */
static int add(Module* m, PyObject* name, PyObject* value) {
    int failed = name == NULL || value == NULL || PyList_Append(m->all, name) < 0 ||
                 PyObject_SetAttr(m->module, name, value) < 0;
    Py_XDECREF(name);
    Py_XDECREF(value);
    return failed ? -1 : 0;
}

static int add_class(Module* m, int index) {
    Py_INCREF(classes[index]);
    return add(m, PyType_GetName(classes[index]), (PyObject*)classes[index]);
}

/* Enters a finished module in sys.modules under `key`, then adds it to its parent. */
static int add_submodule(Module* parent, const char* key, Module* child) {
    PyObject* sys = PyImport_ImportModule("sys");
    PyObject* modules = sys == NULL ? NULL : PyObject_GetAttrString(sys, "modules");
    int failed = modules == NULL || PyMapping_SetItemString(modules, key, child->module) < 0;
    Py_XDECREF(modules);
    Py_XDECREF(sys);
    if (failed) {
        return -1;
    }
    Py_INCREF(child->module);
    return add(parent, PyModule_GetNameObject(child->module), child->module);
}

/* measure(fn), the bare module's only: calls fn() and does nothing else, so that callgrind can
 * collect only while corvane_bench_measure runs and write a profile each time it returns
 * (exported and never inlined: its symbol is there to match). */
PyObject* corvane_bench_measure(PyObject* self, PyObject* fn);

__attribute__((noinline, visibility("default"))) PyObject* corvane_bench_measure(PyObject* self,
                                                                                 PyObject* fn) {
    return PyObject_CallNoArgs(fn);
}

static PyMethodDef functions[] = {
    {"get_do_request", (PyCFunction)(void (*)(void))get_do_request, METH_FASTCALL | METH_KEYWORDS,
     "get_do_request(addr, id)\n--\n\n"},
    {"set_do_request", (PyCFunction)(void (*)(void))set_do_request, METH_FASTCALL | METH_KEYWORDS,
     "set_do_request(bin_state, id)\n--\n\n"},
    {"measure", corvane_bench_measure, METH_O, "measure(fn)\n--\n\n"}, /* the bare module's */
    {NULL, NULL, 0, NULL},
};

static int add_function(Module* m, PyMethodDef* def) {
    PyObject* module_name = PyModule_GetNameObject(m->module);
    PyObject* function =
        module_name == NULL ? NULL : PyCMethod_New(def, m->module, module_name, NULL);
    Py_XDECREF(module_name);
    return add(m, PyUnicode_FromString(def->ml_name), function);
}

#define TOP "corvane_bench_floor"

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = TOP,
    .m_doc = "",
    .m_size = 0, /* as corvane's: the import system keeps no copy of the module's dict */
};

/* The modules are made in corvane's order, and each is complete before it enters sys.modules,
 * and there before its parent has it. */
PyMODINIT_FUNC PyInit_corvane_bench_floor(void) {
    static const char* names[] = {NULL, "do_mod", "packets", "get_do", "set_do"};
    enum { TOP_MODULE, DO_MOD, PACKETS, GET_DO, SET_DO };
    Module m[5] = {{NULL, NULL}};
    int failed = create_classes() < 0;
    for (int i = 0; i < 5 && !failed; ++i) {
        m[i].module = i == 0 ? PyModule_Create(&floor_module) : PyModule_New(names[i]);
        m[i].all = m[i].module == NULL ? NULL : PyList_New(0);
        failed = m[i].all == NULL || PyObject_SetAttrString(m[i].module, "__all__", m[i].all) < 0;
    }
    failed = failed || add_class(&m[GET_DO], GET_DOUTS_REQUEST) < 0 ||
             add_class(&m[GET_DO], GET_DOUTS_RESPONSE) < 0 ||
             add_class(&m[SET_DO], SET_DOUTS_REQUEST) < 0 ||
             add_class(&m[SET_DO], SET_DOUTS_RESPONSE) < 0 ||
             add_submodule(&m[PACKETS], TOP ".do_mod.packets.get_do", &m[GET_DO]) < 0 ||
             add_submodule(&m[PACKETS], TOP ".do_mod.packets.set_do", &m[SET_DO]) < 0 ||
             add_class(&m[PACKETS], REQUEST) < 0 || add_class(&m[PACKETS], RESPONSE) < 0 ||
             add_submodule(&m[DO_MOD], TOP ".do_mod.packets", &m[PACKETS]) < 0 ||
             add_submodule(&m[TOP_MODULE], TOP ".do_mod", &m[DO_MOD]) < 0 ||
             add_function(&m[TOP_MODULE], &functions[0]) < 0 ||
             add_function(&m[TOP_MODULE], &functions[1]) < 0;
#ifdef Py_GIL_DISABLED
    /* As corvane's: on a free-threaded interpreter, importing it leaves the GIL off. */
    failed = failed || PyUnstable_Module_SetGIL(m[TOP_MODULE].module, Py_MOD_GIL_NOT_USED) < 0;
#endif
    for (int i = 0; i < 5; ++i) {
        Py_XDECREF(m[i].all);
        if (i > 0 || failed) {
            Py_XDECREF(m[i].module);
        }
    }
    return failed ? NULL : m[TOP_MODULE].module;
}

/* corvane_bench_bare, the same shared object under a second name: a bare module, as the floor
 * module was before it built corvane's tree: the two builders, measure and one class. */
static struct PyModuleDef bare_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "corvane_bench_bare",
    .m_size = -1,
    .m_methods = functions,
};

PyMODINIT_FUNC PyInit_corvane_bench_bare(void) {
    PyObject* module = PyModule_Create(&bare_module);
    PyObject* record = module == NULL ? NULL : (PyObject*)create_class(SET_DOUTS_REQUEST);
    int failed = record == NULL || PyModule_AddObjectRef(module, "SetDoutsRequest", record) < 0;
#ifdef Py_GIL_DISABLED
    failed = failed || PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0;
#endif
    Py_XDECREF(record);
    if (failed) {
        Py_XDECREF(module);
        return NULL;
    }
    return module;
}
