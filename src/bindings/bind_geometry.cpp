// Box conversions, areas, pairwise IoU/GIoU and clipping.
#include "bindings/array_args.hpp"
#include "bindings/bindings.hpp"
#include "bindings/nogil.hpp"
#include "core/geometry.hpp"

namespace loomfeather::bindings {
namespace {

using Kernel = void (*)(const double*, double*, std::size_t);

// One box in, one box out: the result keeps the argument's shape.
void def_conversion(py::module_& m, const char* name, Kernel kernel) {
    m.def(
        name,
        [name, kernel](const F64Array& boxes) {
            const BoxArrayView v = parse_box_array(boxes, name);
            F64Array out = v.single ? new_f64({4}) : new_f64({static_cast<py::ssize_t>(v.count), 4});
            double* o = out.mutable_data();
            {
                ReleaseIf nogil(v.count >= kReleaseBoxes);
                if (v.count > 0) kernel(v.data(), o, v.count);
            }
            return out;
        },
        py::arg("boxes"));
}

using PairKernel = void (*)(const double*, std::size_t, const double*, std::size_t, double*);

void def_pairwise(py::module_& m, const char* name, PairKernel kernel) {
    m.def(
        name,
        [name, kernel](const F64Array& a, const F64Array& b) {
            const BoxArrayView va = parse_box_set(a, name);
            const BoxArrayView vb = parse_box_set(b, name);
            F64Array out = new_f64({static_cast<py::ssize_t>(va.count), static_cast<py::ssize_t>(vb.count)});
            double* o = out.mutable_data();
            {
                ReleaseIf nogil(va.count * vb.count >= kReleasePairs);
                if (va.count > 0 && vb.count > 0) kernel(va.data(), va.count, vb.data(), vb.count, o);
            }
            return out;
        },
        py::arg("a"), py::arg("b"));
}

}  // namespace

void bind_geometry(py::module_& m) {
    def_conversion(m, "xyxy_to_xywh", &xyxy_to_xywh);
    def_conversion(m, "xywh_to_xyxy", &xywh_to_xyxy);
    def_conversion(m, "xyxy_to_cxcywh", &xyxy_to_cxcywh);
    def_conversion(m, "cxcywh_to_xyxy", &cxcywh_to_xyxy);
    def_conversion(m, "xyxy_to_xyah", &xyxy_to_xyah);
    def_conversion(m, "xyah_to_xyxy", &xyah_to_xyxy);

    m.def(
        "box_area",
        [](const F64Array& boxes) {
            const BoxArrayView v = parse_box_array(boxes, "box_area");
            F64Array out = v.single ? new_f64({}) : new_f64({static_cast<py::ssize_t>(v.count)});
            double* o = out.mutable_data();
            {
                ReleaseIf nogil(v.count >= kReleaseBoxes);
                if (v.count > 0) box_area(v.data(), o, v.count);
            }
            return out;
        },
        py::arg("boxes"));

    def_pairwise(m, "iou_matrix", &iou_kernel);
    def_pairwise(m, "giou_matrix", &giou_kernel);

    m.def(
        "clip_boxes",
        [](const F64Array& boxes, double width, double height) {
            const BoxArrayView v = parse_box_array(boxes, "clip_boxes");
            F64Array out = v.single ? new_f64({4}) : new_f64({static_cast<py::ssize_t>(v.count), 4});
            double* o = out.mutable_data();
            {
                ReleaseIf nogil(v.count >= kReleaseBoxes);
                if (v.count > 0) clip_boxes(v.data(), o, v.count, width, height);
            }
            return out;
        },
        py::arg("boxes"), py::arg("width"), py::arg("height"));
}

}  // namespace loomfeather::bindings
