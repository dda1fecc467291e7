"""A Django project in one file, with request metrics, ready for gunicorn or uvicorn.

    gunicorn examples.django_app:application          # WSGI
    uvicorn examples.django_app:asgi_application      # ASGI

In a regular project the same lines go into settings.py, urls.py, wsgi.py and asgi.py, as marked.
"""

import time

import django
from django.conf import settings
from django.http import Http404, JsonResponse
from django.urls import path

# settings.py
settings.configure(
    DEBUG=False,
    ALLOWED_HOSTS=["127.0.0.1", "localhost"],
    ROOT_URLCONF=__name__,
    SECRET_KEY="example only",
    MIDDLEWARE=[
        # Hands the matched pattern ("/items/<int:item_id>") to the metrics middleware.
        "vantorel.middleware.DjangoRouteMiddleware",
        "django.middleware.common.CommonMiddleware",
    ],
)
django.setup()


def item(request, item_id):
    time.sleep(0.002)  # a database look-up, say
    if item_id > 1000:
        raise Http404("no such item")
    return JsonResponse({"id": item_id})


# urls.py
from vantorel.endpoint import django_metrics_view  # noqa: E402

urlpatterns = [
    path("items/<int:item_id>", item),
    path("metrics", django_metrics_view),
]

# wsgi.py
from django.core.wsgi import get_wsgi_application  # noqa: E402

from vantorel.middleware import MetricsMiddleware, WSGIMetricsMiddleware  # noqa: E402

application = WSGIMetricsMiddleware(get_wsgi_application())

# asgi.py
from django.core.asgi import get_asgi_application  # noqa: E402

asgi_application = MetricsMiddleware(get_asgi_application())
