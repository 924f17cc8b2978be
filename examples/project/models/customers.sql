---
materialization: table
tags: [marts, customers]
---
with order_totals as (
    select customer_id, count(*) as orders, sum(amount) as lifetime_value
    from ref('orders')
    group by customer_id
)
select c.*, coalesce(t.orders, 0) as orders, coalesce(t.lifetime_value, 0) as lifetime_value
from ref('stg_customers') c
left join order_totals t using (customer_id)
